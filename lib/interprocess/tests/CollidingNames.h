#pragma once

// Names of inboxes that an attacker computes to fall in one bucket of a root
// process's sets of names, as the process that computes them hashes names.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "common/utils/RandomString.h"
#include "interprocess/NameSet.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"

namespace interprocesstest {

// `count` names that begin with `prefix` and end in the letters and digits of
// an inbox name, all in one bucket of a set of `count` names as this process
// hashes them (tried at random until enough fall there).
inline std::vector<std::string> collidingNames(const std::string& prefix, std::size_t count) {
    interprocess::NameSet sized;
    for (std::size_t i = 0; i < count; ++i) {
        sized.insert(std::to_string(i));
    }
    const std::size_t buckets = sized.buckets();
    const interprocess::KeyedNameHash hash;
    const std::string alphabet = common::kAlphanumericAlphabet;
    std::mt19937_64 random(std::random_device{}());
    std::vector<std::string> names;
    std::string name;
    while (names.size() < count) {
        name = prefix;
        for (std::size_t i = 0; i < interprocess::UserInboxes::kRandomSize; ++i) {
            name += alphabet[random() % alphabet.size()];
        }
        if (hash(name) % buckets == 0) {
            names.push_back(name);
        }
    }
    return names;
}

// The most of `names` that a look-up in a set of them walks, as this process hashes them.
inline std::size_t longestWalkOf(const std::vector<std::string>& names) {
    interprocess::NameSet set;
    for (const auto& name : names) {
        set.insert(name);
    }
    return set.longestWalk();
}

// Makes an empty file under each name in the shared folder: how many were made.
inline std::size_t makeEmptyFiles(const std::vector<std::string>& names) {
    std::size_t made = 0;
    for (const auto& name : names) {
        const std::string path =
            std::string(interprocess::SharedRecordQueue::kDirectory) + "/" + name;
        const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW, 0600);
        made += fd >= 0 && ::close(fd) == 0 ? 1 : 0;
    }
    return made;
}

}  // namespace interprocesstest
