#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/params/IParams.h"

namespace common {

// The parameter layer of the process's arguments. An option is a dash and a
// name (case-insensitive), followed by its value or alone as a flag with the
// value "1": "-Lang fr -Offline". Options can be removed but not set.
class CommandLineParams : public IParams {
public:
    // `arguments[0]` is the program path and never an option.
    explicit CommandLineParams(const std::vector<std::string>& arguments);

    void lock() override {}
    void unlock() override {}
    AccessLevel accessLevel() const override;

    std::string getValue(const std::string& key, const std::string& defaultValue) const override;
    // Refused: always false.
    bool setValue(const std::string& key, const std::string& value, bool flag) override;
    bool hasValue(const std::string& key) const override;
    // True also when there was nothing to remove.
    bool removeValue(const std::string& key) override;
    // The option names in lower case.
    std::set<std::string> keys() const override;
    std::string dump() const override;

private:
    void parse(const std::vector<std::string>& arguments);

    std::map<std::string, std::string> options_;
    AccessLevel accessLevel_ = Removable;
};

}  // namespace common
