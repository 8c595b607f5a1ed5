// The exceptions of the table layer: dataset errors and engine errors with their result codes.
#pragma once

#include <stdexcept>
#include <string>

// A dataset-level failure; its message is the text the user sees.
class EDatabaseError : public std::runtime_error {
public:
    explicit EDatabaseError(const std::string& message);
    std::string Message() const { return what(); }
};

// A failure reported by the record layer as a non-zero result code. Code 11011 reads "File Open Error",
// every other code "Database Error : " and the code, followed by ": " and the engine's own explanation
// when it gave one (a full disk, a damaged memo), so that a run's log shows why. Reason() is that
// explanation alone (a malformed header, a missing file), for the window to show on a line of its own.
class EDBEngineError : public EDatabaseError {
public:
    EDBEngineError(int errorCode, std::string reason = {});
    int ErrorCode() const { return FErrorCode; }
    const std::string& Reason() const { return FReason; }
    // The message with the reason after it, for an open failure too.
    std::string FullMessage() const;
    static std::string MessageFor(int errorCode, const std::string& reason = {});

private:
    int FErrorCode;
    std::string FReason;
};
