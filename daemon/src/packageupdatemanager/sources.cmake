set(CORVANE_PACKAGE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/packageupdatemanager.cpp
)
