# The deflated-syntax tests inflate and deflate streams themselves.
find_package(ZLIB REQUIRED)
target_link_libraries(test_dicom PRIVATE ZLIB::ZLIB)
