#include "FallbackMessageMap.h"

#include <array>
#include <utility>

#include "common/logging/ILogger.h"
#include "common/messagemap/MessageMap.h"

namespace quorvane::unattended {

namespace {

struct BuiltInText {
    std::size_t id;
    const wchar_t* text;
};

// The English texts of the messages that the window and the alert show.
constexpr std::array<BuiltInText, 11> kBuiltInTexts{{
    {30, L"Wexo Quandel Unattended Installer"},
    {77, L"The installation could not be completed. Please try again or contact your "
         L"administrator."},
    {86, L"${0} cannot be installed."},
    {94, L"Close"},
    {100, L"Downloading the latest version\u2026"},
    {110, L"The installation completed successfully."},
    {115, L"Cancel"},
    {119, L"Preparing the installation\u2026"},
    {126, L"This installer is missing its deployment key, which is part of its file name. "
          L"Download the installer again and run it without renaming it."},
    {155, L"Installing\u2026 You may be asked for an administrator\u2019s password."},
    {160, L"OK"},
}};

}  // namespace

FallbackMessageMap::FallbackMessageMap(std::unique_ptr<common::IMessageMap> table)
    : table_(std::move(table)) {}

FallbackMessageMap::~FallbackMessageMap() = default;

const wchar_t* FallbackMessageMap::builtInText(std::size_t id) {
    for (const auto& entry : kBuiltInTexts) {
        if (entry.id == id) {
            return entry.text;
        }
    }
    return L"";
}

void FallbackMessageMap::load() {
    table_->load();
    std::size_t missing = 0;
    for (const auto& entry : kBuiltInTexts) {
        missing += *table_->getRawMessage(entry.id) == L'\0' ? 1 : 0;
    }
    if (missing == 0) {
        return;
    }
    auto logger = common::createLogger("MessageMap");
    if (missing == kBuiltInTexts.size()) {
        logger->error("The message table is unusable: the built-in English texts are shown");
    } else {
        logger->error("The message table lacks %zu of the installer's texts: their built-in "
                      "English texts are shown",
                      missing);
    }
}

bool FallbackMessageMap::setLanguage(const wchar_t* code) {
    return table_->setLanguage(code);
}

std::wstring FallbackMessageMap::getMessage(std::size_t id, std::size_t count, ...) {
    va_list args;
    va_start(args, count);
    std::wstring text = getMessageV(id, count, args);
    va_end(args);
    return text;
}

std::wstring FallbackMessageMap::getMessageV(std::size_t id, std::size_t count, va_list args) {
    return common::MessageMap::format(getRawMessage(id), count, args);
}

const wchar_t* FallbackMessageMap::getRawMessage(std::size_t id) {
    const wchar_t* text = table_->getRawMessage(id);
    return *text != L'\0' ? text : builtInText(id);
}

}  // namespace quorvane::unattended
