command/CMakeFiles/tarnex.dir/core/main.cpp.o: \
 /work/main/command/core/main.cpp /usr/include/stdc-predef.h \
 /work/main/command/core/entry.h
