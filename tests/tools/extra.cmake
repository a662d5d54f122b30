# The preview test decodes the PNG the program writes.
target_link_libraries(test_tools PRIVATE PNG::PNG)
