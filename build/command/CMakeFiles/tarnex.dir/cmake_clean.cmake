file(REMOVE_RECURSE
  "../bin/tarnex"
  "../bin/tarnex.pdb"
  "CMakeFiles/tarnex.dir/core/main.cpp.o"
  "CMakeFiles/tarnex.dir/core/main.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tarnex.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
