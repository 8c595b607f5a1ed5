// Answers the next modal message box through its real buttons, and records what the box showed.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

struct TSeenBox {
    bool Shown = false;
    QString Title;
    QString Text;
    QStringList Buttons;
    QString DefaultButton;
    QString EscapeButton;
};

// Watches for the next modal message box (polling for about five seconds) and clicks the button with the
// given caption; an empty caption leaves the box open for the caller's own keys via OnShown.
inline std::shared_ptr<TSeenBox> AnswerNextBox(const QString& button, std::function<void(QMessageBox*)> onShown = {}) {
    auto seen = std::make_shared<TSeenBox>();
    auto attempts = std::make_shared<int>(0);
    auto poll = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> weakPoll = poll;
    *poll = [seen, attempts, button, onShown, weakPoll]() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            if (++*attempts < 500)
                if (auto again = weakPoll.lock())
                    QTimer::singleShot(10, [again] { (*again)(); });
            return;
        }
        seen->Shown = true;
        seen->Title = box->windowTitle();
        seen->Text = box->text();
        for (QAbstractButton* b : box->buttons())
            seen->Buttons << b->text();
        if (box->defaultButton())
            seen->DefaultButton = box->defaultButton()->text();
        if (box->escapeButton())
            seen->EscapeButton = box->escapeButton()->text();
        if (onShown)
            onShown(box);
        for (QAbstractButton* b : box->buttons())
            if (!button.isEmpty() && b->text() == button) {
                b->click();
                break;
            }
    };
    // The poll function owns itself through the pending timer only.
    QTimer::singleShot(0, [poll] { (*poll)(); });
    return seen;
}
