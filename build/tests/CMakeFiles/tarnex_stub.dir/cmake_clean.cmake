file(REMOVE_RECURSE
  "../lib/tarnex_stub.pdb"
  "../lib/tarnex_stub.so"
  "CMakeFiles/tarnex_stub.dir/sandbox/stub/stub.c.o"
  "CMakeFiles/tarnex_stub.dir/sandbox/stub/stub.c.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang C)
  include(CMakeFiles/tarnex_stub.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
