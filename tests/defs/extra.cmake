# The defs tests also exercise the definition-file scanner directly, which the library keeps
# internal (hidden visibility): compile its source into the test program as well.
target_sources(test_${folder} PRIVATE ${CMAKE_SOURCE_DIR}/defs/parsedef.cpp)
