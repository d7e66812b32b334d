// The statically linked C++ runtime reads glibc's __libc_single_threaded, which
// exists only from glibc 2.32 on. This module-local copy always says "not single
// threaded", so the runtime takes its atomic path and the module loads on older
// glibc; the export map keeps the copy out of the dynamic symbol table.
extern "C" {
char __libc_single_threaded = 0;
}
