// The headers of platform/posix/ are the Linux layer's own. Code outside
// the platform library includes platform/win32.h and the platform-neutral
// headers beside it; the build refuses anything else. The library compiles
// with STUBWARDEN_PLATFORM_LAYER and keeps it to itself; the few targets
// that look inside the layer on purpose (its unit tests, its fuzzers, the
// benchmark's floor walker) link stubwarden_platform_internals, which
// passes it on.
#pragma once

#ifndef STUBWARDEN_PLATFORM_LAYER
#  error "platform/posix/ is private to the platform library: include platform/win32.h and the headers beside it"
#endif
