// The message the pipelining peer counts: its body names its number, as PipelinePeer::Delivered reads it back.
#pragma once

#include "smtp/BodyLines.h"
#include "smtp/MailMessage.h"

#include <string>

inline TMailMessage NumberedMessage(int number) {
    TMailMessage message;
    message.ReturnPath = "sender@example.org";
    message.Recipients = {"rcpt@example.org"};
    message.From = "Sender <sender@example.org>";
    message.To = "Rcpt <rcpt@example.org>";
    message.Subject = "Greetings";
    message.Body = BodyLines({"Message number " + std::to_string(number)});
    return message;
}
