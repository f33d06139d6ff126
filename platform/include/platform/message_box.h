#pragma once

#include <deque>
#include <mutex>
#include <functional>
#include <string>
#include <vector>

#include "platform/export.h"

namespace platform {

// Buttons and icons, with the values of the Windows message box so that the
// design's combinations read the same.
enum MessageBoxType : unsigned {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_YESNO = 0x04,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,  // also the exclamation icon
    MB_ICONINFORMATION = 0x40,
};

enum MessageBoxResult : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

struct MessageBoxRequest {
    std::string text;  // UTF-8
    std::string caption;
    unsigned type = MB_OK;
};

using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;

// Shows a message box through the installed handler and returns the button
// pressed. Without a handler the text goes to standard error as one block and
// the default button (OK, or Yes) is taken.
PLATFORM_API int messageBox(const std::string& text, const std::string& caption, unsigned type);

// Installs the handler (the loader installs a Qt message box); an empty
// handler restores the standard-error default. Returns the previous one.
PLATFORM_API MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);

// For tests: records every message box shown while it lives and answers each
// with the next queued answer, or with the default button when none is queued.
class PLATFORM_API MessageBoxRecorder {
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    void answerNext(int button);
    std::vector<MessageBoxRequest> shown() const;

private:
    int answer(const MessageBoxRequest& request);
    MessageBoxHandler previous_;
    mutable std::mutex mutex_;
    std::vector<MessageBoxRequest> shown_;
    std::deque<int> answers_;
};

// The button taken when nobody answers: Yes for a yes/no box, else OK.
PLATFORM_API int defaultButton(unsigned type);

}  // namespace platform
