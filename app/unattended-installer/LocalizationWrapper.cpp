#include "LocalizationWrapper.h"

#include <cstdarg>

#include "DisplayText.h"
#include "FallbackMessageMap.h"
#include "common/utils/StringConversions.h"

LocalizationWrapper::LocalizationWrapper(const std::string& language)
    : msgMap_(std::make_unique<quorvane::unattended::FallbackMessageMap>(
          common::IMessageMap::create())) {
    msgMap_->load();
    msgMap_->setLanguage(common::utf8ToWString(language).c_str());
}

LocalizationWrapper::~LocalizationWrapper() = default;

std::string LocalizationWrapper::getLocMessage(std::size_t id) {
    return quorvane::unattended::toDisplayText(msgMap_->getMessage(id, 0));
}

std::string LocalizationWrapper::getLocMessage(std::size_t id, const std::string& param1) {
    const std::wstring parameter = common::utf8ToWString(param1);
    return quorvane::unattended::toDisplayText(msgMap_->getMessage(id, 1, parameter.c_str()));
}

std::string LocalizationWrapper::getLocMessage(std::size_t id, std::size_t paramCount, ...) {
    va_list parameters;
    va_start(parameters, paramCount);
    const std::wstring text = msgMap_->getMessageV(id, paramCount, parameters);
    va_end(parameters);
    return quorvane::unattended::toDisplayText(text);
}
