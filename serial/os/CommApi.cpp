#include "serial/os/CommApi.h"

namespace comm {

// Placeholder until the platform backends exist.
namespace {
ICommApi* g_api = nullptr;
} // namespace

ICommApi& Api() { return *g_api; }

ICommApi* SetApi(ICommApi* api) {
    ICommApi* previous = g_api;
    g_api = api;
    return previous;
}

} // namespace comm
