set(CORVANE_RESET_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/resetupdatemanager.cpp
)
