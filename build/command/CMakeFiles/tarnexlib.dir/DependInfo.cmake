
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/command/core/entry.cpp" "command/CMakeFiles/tarnexlib.dir/core/entry.cpp.o" "gcc" "command/CMakeFiles/tarnexlib.dir/core/entry.cpp.o.d"
  "/work/main/command/core/options.cpp" "command/CMakeFiles/tarnexlib.dir/core/options.cpp.o" "gcc" "command/CMakeFiles/tarnexlib.dir/core/options.cpp.o.d"
  "/work/main/command/core/pending.cpp" "command/CMakeFiles/tarnexlib.dir/core/pending.cpp.o" "gcc" "command/CMakeFiles/tarnexlib.dir/core/pending.cpp.o.d"
  "/work/main/command/runtime/lock.cpp" "command/CMakeFiles/tarnexlib.dir/runtime/lock.cpp.o" "gcc" "command/CMakeFiles/tarnexlib.dir/runtime/lock.cpp.o.d"
  "/work/main/command/runtime/log.cpp" "command/CMakeFiles/tarnexlib.dir/runtime/log.cpp.o" "gcc" "command/CMakeFiles/tarnexlib.dir/runtime/log.cpp.o.d"
  "/work/main/command/runtime/report.cpp" "command/CMakeFiles/tarnexlib.dir/runtime/report.cpp.o" "gcc" "command/CMakeFiles/tarnexlib.dir/runtime/report.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
