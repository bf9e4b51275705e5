#include "host/ExceptionDisplay.h"

#include "host/Exceptions.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace host {

namespace {

const char* const UnknownExceptionText = "An unknown error occurred";

void WriteToStandardError(const std::string& message) {
    std::fputs(message.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::mutex DisplayLock;
ExceptionDisplay CurrentDisplay; // empty = standard error

} // namespace

std::string ExceptionMessage(std::exception_ptr error) {
    if (!error) {
        return {};
    }
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return UnknownExceptionText;
    }
}

ExceptionDisplay SetExceptionDisplay(ExceptionDisplay display) {
    std::lock_guard lock(DisplayLock);
    return std::exchange(CurrentDisplay, std::move(display));
}

namespace {

void Display(const std::string& message) {
    ExceptionDisplay display;
    {
        std::lock_guard lock(DisplayLock);
        display = CurrentDisplay;
    }
    // The display runs outside the lock: a message box runs a nested event
    // loop, in which another exception may be shown.
    if (display) {
        try {
            display(message);
            return;
        } catch (...) {
            // A display that fails must not take the program down; the
            // message still goes somewhere.
        }
    }
    WriteToStandardError(message);
}

} // namespace

void ShowException(std::exception_ptr error) {
    if (error) {
        Display(ExceptionMessage(error));
    }
}

void ShowException(const std::exception& error) {
    if (const auto* e = dynamic_cast<const Exception*>(&error)) {
        Display(e->Message());
    } else {
        Display(error.what());
    }
}

} // namespace host
