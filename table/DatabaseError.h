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
// every other code "Database Error : " and the code. Reason() carries the engine's own explanation when
// it gave one (a malformed header, a missing file), for tools and logs that want more than the code.
class EDBEngineError : public EDatabaseError {
public:
    EDBEngineError(int errorCode, std::string reason = {});
    int ErrorCode() const { return FErrorCode; }
    const std::string& Reason() const { return FReason; }
    static std::string MessageFor(int errorCode);

private:
    int FErrorCode;
    std::string FReason;
};
