// The exceptions of the table layer.
#include "table/DatabaseError.h"

EDatabaseError::EDatabaseError(const std::string& message) : std::runtime_error(message) {}

EDBEngineError::EDBEngineError(int errorCode, std::string reason)
    : EDatabaseError(MessageFor(errorCode, reason)), FErrorCode(errorCode), FReason(std::move(reason)) {}

std::string EDBEngineError::MessageFor(int errorCode, const std::string& reason) {
    if (errorCode == 11011)
        return "File Open Error";
    return "Database Error : " + std::to_string(errorCode) + (reason.empty() ? "" : ": " + reason);
}

std::string EDBEngineError::FullMessage() const {
    if (FErrorCode == 11011 && !FReason.empty())
        return what() + (": " + FReason);
    return what();
}
