#include "platform/message_box.h"

#include <cstdio>
#include <mutex>

namespace platform {

namespace {
std::mutex g_mutex;
MessageBoxHandler g_handler;
}  // namespace

int defaultButton(unsigned type) { return (type & 0x0F) == MB_YESNO ? IDYES : IDOK; }

int messageBox(const std::string& text, const std::string& caption, unsigned type) {
    MessageBoxHandler handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    MessageBoxRequest request{text, caption, type};
    if (handler) return handler(request);
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return defaultButton(type);
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard lock(g_mutex);
    MessageBoxHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

MessageBoxRecorder::MessageBoxRecorder() {
    previous_ = setMessageBoxHandler([this](const MessageBoxRequest& r) { return answer(r); });
}

MessageBoxRecorder::~MessageBoxRecorder() { setMessageBoxHandler(std::move(previous_)); }

void MessageBoxRecorder::answerNext(int button) {
    std::lock_guard lock(mutex_);
    answers_.push_back(button);
}

std::vector<MessageBoxRequest> MessageBoxRecorder::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

int MessageBoxRecorder::answer(const MessageBoxRequest& request) {
    std::lock_guard lock(mutex_);
    shown_.push_back(request);
    if (answers_.empty()) return defaultButton(request.type);
    int button = answers_.front();
    answers_.pop_front();
    return button;
}

}  // namespace platform
