#pragma once

#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string>

#include "common/messagemap/IMessageMap.h"

namespace quorvane::unattended {

// The installer's message table: the texts of "messages.bin", and the
// built-in English text of each message the installer shows wherever the
// table has none (the file is missing or damaged, or lacks the message), so
// that the window and the alert never show empty texts. Loading says in the
// log when the table cannot give the installer's texts.
class FallbackMessageMap : public common::IMessageMap {
public:
    explicit FallbackMessageMap(std::unique_ptr<common::IMessageMap> table);
    ~FallbackMessageMap() override;

    void load() override;
    bool setLanguage(const wchar_t* code) override;
    std::wstring getMessage(std::size_t id, std::size_t count, ...) override;
    std::wstring getMessageV(std::size_t id, std::size_t count, va_list args) override;
    const wchar_t* getRawMessage(std::size_t id) override;

    // The built-in English text of message `id`; empty for a message the
    // installer does not show.
    static const wchar_t* builtInText(std::size_t id);

private:
    std::unique_ptr<common::IMessageMap> table_;
};

}  // namespace quorvane::unattended
