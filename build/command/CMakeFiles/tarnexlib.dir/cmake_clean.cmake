file(REMOVE_RECURSE
  "CMakeFiles/tarnexlib.dir/core/entry.cpp.o"
  "CMakeFiles/tarnexlib.dir/core/entry.cpp.o.d"
  "CMakeFiles/tarnexlib.dir/core/options.cpp.o"
  "CMakeFiles/tarnexlib.dir/core/options.cpp.o.d"
  "CMakeFiles/tarnexlib.dir/core/pending.cpp.o"
  "CMakeFiles/tarnexlib.dir/core/pending.cpp.o.d"
  "CMakeFiles/tarnexlib.dir/runtime/lock.cpp.o"
  "CMakeFiles/tarnexlib.dir/runtime/lock.cpp.o.d"
  "CMakeFiles/tarnexlib.dir/runtime/log.cpp.o"
  "CMakeFiles/tarnexlib.dir/runtime/log.cpp.o.d"
  "CMakeFiles/tarnexlib.dir/runtime/report.cpp.o"
  "CMakeFiles/tarnexlib.dir/runtime/report.cpp.o.d"
  "libtarnexlib.a"
  "libtarnexlib.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tarnexlib.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
