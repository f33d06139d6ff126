#include "platform/debug_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

std::mutex g_mutex;
DebugCapture* g_capture = nullptr;
FILE* g_sink = nullptr;
bool g_sinkChosen = false;

// Under g_mutex.
FILE* sink() {
    if (!g_sinkChosen) {
        g_sinkChosen = true;
        const char* choice = std::getenv("TALVEX_DEBUG_OUTPUT");
        if (choice == nullptr || *choice == '\0') {
            g_sink = nullptr;
        } else if (std::strcmp(choice, "stderr") == 0) {
            g_sink = stderr;
        } else {
            g_sink = std::fopen(choice, "ae");
        }
    }
    return g_sink;
}

// Pieces of every live capture, keyed by capture; kept out of the header.
struct CaptureStore {
    DebugCapture* owner;
    std::vector<std::string> pieces;
};
std::vector<CaptureStore> g_stores;

CaptureStore* storeOf(const DebugCapture* capture) {
    for (auto& store : g_stores)
        if (store.owner == capture) return &store;
    return nullptr;
}

}  // namespace

void debugOutput(std::string_view text) {
    std::lock_guard lock(g_mutex);
    if (g_capture != nullptr) {
        if (CaptureStore* store = storeOf(g_capture)) store->pieces.emplace_back(text);
        return;
    }
    if (FILE* out = sink()) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
    }
}

void debugPrintf(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    debugOutput(line);
}

DebugCapture::DebugCapture() {
    std::lock_guard lock(g_mutex);
    previous_ = g_capture;
    g_stores.push_back({this, {}});
    g_capture = this;
}

DebugCapture::~DebugCapture() {
    std::lock_guard lock(g_mutex);
    g_capture = previous_;
    for (auto it = g_stores.begin(); it != g_stores.end(); ++it) {
        if (it->owner == this) {
            g_stores.erase(it);
            break;
        }
    }
}

std::vector<std::string> DebugCapture::pieces() const {
    std::lock_guard lock(g_mutex);
    const CaptureStore* store = storeOf(this);
    return store != nullptr ? store->pieces : std::vector<std::string>{};
}

std::string DebugCapture::text() const {
    std::string all;
    for (const auto& piece : pieces()) all += piece;
    return all;
}

std::vector<std::string> DebugCapture::lines() const {
    std::vector<std::string> result;
    std::string current;
    for (char c : text()) {
        current += c;
        if (c == '\n') {
            result.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) result.push_back(std::move(current));
    return result;
}

void DebugCapture::clear() {
    std::lock_guard lock(g_mutex);
    if (CaptureStore* store = storeOf(this)) store->pieces.clear();
}

}  // namespace platform
