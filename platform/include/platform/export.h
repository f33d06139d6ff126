#pragma once

// The platform library is a shared library with one copy of its services per
// process; only what is marked here is visible outside it.
#define PLATFORM_API __attribute__((visibility("default")))
