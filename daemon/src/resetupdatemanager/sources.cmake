set(CORVANE_RESET_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/downloader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/forwardreader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/headerpolicy.cpp
    ${CMAKE_CURRENT_LIST_DIR}/imagearchive.cpp
    ${CMAKE_CURRENT_LIST_DIR}/resetupdatemanager.cpp
)
