#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/messagemap/IMessageMap.h"

// Gives the window's side a message table of its own in a given language,
// with the texts as the window shows them (UTF-8).
class LocalizationWrapper {
public:
    // Loads "messages.bin" (which selects "en") and then selects `language`;
    // where the table has no text, the built-in English one is used.
    explicit LocalizationWrapper(const std::string& language);
    ~LocalizationWrapper();
    LocalizationWrapper(const LocalizationWrapper&) = delete;
    LocalizationWrapper& operator=(const LocalizationWrapper&) = delete;

    // The text of `id` without parameters.
    std::string getLocMessage(std::size_t id);
    // The text of `id` with `param1` in place of its first placeholder.
    std::string getLocMessage(std::size_t id, const std::string& param1);
    // The text of `id` with `paramCount` wide C-string parameters that follow,
    // handed to the table unchanged.
    std::string getLocMessage(std::size_t id, std::size_t paramCount, ...);

    common::IMessageMap* msgMap() const { return msgMap_.get(); }

private:
    std::unique_ptr<common::IMessageMap> msgMap_;
};
