# An external codec library for the plug-in tests: its own module exporting LibraryInit, found by
# the tests through a codec map and loaded with init_DynamicCodecLibraries.
add_library(velmar_testcodec MODULE ${CMAKE_CURRENT_SOURCE_DIR}/codecs/plugin/xorcodec.cpp)
set_target_properties(velmar_testcodec PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden)
target_link_libraries(velmar_testcodec PRIVATE velmar)
add_dependencies(test_codecs velmar_testcodec)
target_compile_definitions(test_codecs PRIVATE
  VELMAR_TEST_CODEC_PATH="$<TARGET_FILE:velmar_testcodec>"
  VELMAR_TEST_CODEC_DIR="$<TARGET_FILE_DIR:velmar_testcodec>")
# The syntax round trips run the program.
add_dependencies(test_codecs velmar_tool)
# The codec libraries velmar writes itself: their frame coding is tested directly, and the
# libraries are loaded from build/codecs through the default codec map.
foreach(codec rle jpegll)
  if(TARGET velmar_${codec})
    target_link_libraries(test_codecs PRIVATE velmar_${codec}_core)
    add_dependencies(test_codecs velmar_${codec})
  endif()
endforeach()
# The sample byte-order helpers are internal to the library: the tests compile their own copy.
target_sources(test_codecs PRIVATE ${CMAKE_SOURCE_DIR}/codecs/samples.cpp)
