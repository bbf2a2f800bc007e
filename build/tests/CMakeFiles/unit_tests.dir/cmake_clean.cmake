file(REMOVE_RECURSE
  "../bin/unit_tests"
  "../bin/unit_tests.pdb"
  "CMakeFiles/unit_tests.dir/unit/log_test.cpp.o"
  "CMakeFiles/unit_tests.dir/unit/log_test.cpp.o.d"
  "unit_tests[1]_tests.cmake"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/unit_tests.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
