#include "serial/driver/CommApi.h"

namespace comm {

// Defined by the platform's backend (PosixCommApi.cpp or Win32CommApi.cpp).
ICommApi& NativeApi();

namespace {
ICommApi* g_api = nullptr;
} // namespace

ICommApi& Api() {
    return g_api != nullptr ? *g_api : NativeApi();
}

ICommApi* SetApi(ICommApi* api) {
    ICommApi* previous = g_api;
    g_api = api;
    return previous;
}

} // namespace comm
