#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>

#include "interprocess/KeyedNameHash.h"

namespace interprocess {

// A set of names that other users choose, as a root process keeps them: a
// look-up walks the names that share its bucket, and which names share one
// depends on a key of this process's that no other user knows
// (KeyedNameHash), so that no choice of names makes look-ups walk long.
class NameSet {
public:
    bool contains(const std::string& name) const { return names_.count(name) != 0; }
    void insert(const std::string& name) { names_.insert(name); }
    void erase(const std::string& name) { names_.erase(name); }
    std::size_t size() const { return names_.size(); }
    // The buckets the names are spread over, and the most names that share
    // one: the longest walk a look-up makes (told by a walk of the set).
    std::size_t buckets() const { return names_.bucket_count(); }
    std::size_t longestWalk() const;

private:
    std::unordered_set<std::string, KeyedNameHash> names_;
};

}  // namespace interprocess
