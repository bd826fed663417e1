find_package(ZLIB REQUIRED)
target_link_libraries(wharf_nimbus PUBLIC ZLIB::ZLIB)
