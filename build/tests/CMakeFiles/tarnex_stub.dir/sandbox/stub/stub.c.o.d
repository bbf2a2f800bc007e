tests/CMakeFiles/tarnex_stub.dir/sandbox/stub/stub.c.o: \
 /work/main/tests/sandbox/stub/stub.c /usr/include/stdc-predef.h \
 /usr/include/dlfcn.h /usr/include/features.h \
 /usr/include/features-time64.h /usr/include/bits/wordsize.h \
 /usr/include/bits/timesize.h /usr/include/sys/cdefs.h \
 /usr/include/bits/long-double.h /usr/include/gnu/stubs.h \
 /usr/include/gnu/stubs-32.h \
 /usr/lib/gcc/x86_64-linux-gnu/12/include/stddef.h \
 /usr/include/bits/dlfcn.h /usr/include/bits/dl_find_object.h
