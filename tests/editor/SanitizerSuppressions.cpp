// Leak reports of the system's font library, which keeps its caches for the
// life of the process once Qt has asked it for a font, are not ours to fix.
// The sanitizer runtime asks the program for these suppressions.

extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
