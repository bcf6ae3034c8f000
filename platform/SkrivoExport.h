#pragma once
// Symbols of the shared library are hidden by default; only classes and
// functions marked SKRIVO_API form the library's public face.
#if defined(SKRIVO_STATIC_ONLY)
#define SKRIVO_API
#elif defined(SKRIVO_BUILDING_LIBRARY)
#define SKRIVO_API __attribute__((visibility("default")))
#else
#define SKRIVO_API __attribute__((visibility("default")))
#endif
