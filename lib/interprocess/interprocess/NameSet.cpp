#include "interprocess/NameSet.h"

#include <algorithm>

namespace interprocess {

std::size_t NameSet::longestWalk() const {
    std::size_t longest = 0;
    for (std::size_t bucket = 0; bucket < names_.bucket_count(); ++bucket) {
        longest = std::max(longest, names_.bucket_size(bucket));
    }
    return longest;
}

}  // namespace interprocess
