#pragma once

// How the stand-ins export their functions: undecorated names, __stdcall on 32-bit Windows as the
// adapters' own libraries do, the C default elsewhere.
#if defined(_WIN32)
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#if defined(_WIN32) && defined(__i386__)
#define STANDIN_CALL __attribute__((stdcall))
#else
#define STANDIN_CALL
#endif
