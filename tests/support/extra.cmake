# The first-fit index of the string buffer is internal to the library: the tests compile their own copy.
target_sources(test_support PRIVATE ${CMAKE_SOURCE_DIR}/support/dstrindex.cpp)
