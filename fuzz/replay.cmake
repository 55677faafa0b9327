# Builds the fuzz targets as corpus replay programs (fuzz/replay_main.cpp in
# place of libFuzzer) and registers one CTest test per target that runs it over
# its seed corpus. The ARM64 build uses this: the differential targets then
# compare the NEON byte searches with the scalar ones on that processor.
foreach(surface csv csv_tokenizer json_rows json_index json_writer decimal)
  add_executable(replay_fuzz_${surface} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_${surface}.cpp
                                        ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  # FUZZ_CHECK without a message passes g++ an empty format (clang, the fuzz compiler, allows it).
  target_compile_options(replay_fuzz_${surface} PRIVATE ${QUELTA_WARNINGS}
                                                $<$<CXX_COMPILER_ID:GNU>:-Wno-format-zero-length -Wno-restrict>)
  target_link_libraries(replay_fuzz_${surface} PRIVATE quelta_static)
  add_test(NAME fuzz_replay.${surface}
           COMMAND replay_fuzz_${surface} ${PROJECT_SOURCE_DIR}/fuzz/corpus/fuzz_${surface})
  set_tests_properties(fuzz_replay.${surface} PROPERTIES TIMEOUT 600)
endforeach()
