#include "model.h"

#include <algorithm>
#include <cstdint>

namespace th {

Model::Model(uint32_t num_sets, uint32_t num_ways)
    : sets_(num_sets), ways_(num_ways), tags_(size_t{num_sets} * num_ways), used_(num_sets),
      free_(num_sets), dirty_(num_sets)
{
    for (uint32_t s = 0; s < num_sets; ++s)
        for (uint32_t w = 0; w < num_ways; ++w)
            free_[s].push_back(int(s * num_ways + w)); // ascending address order
}

void Model::erase(std::vector<int> &list, int tag)
{
    list.erase(std::find(list.begin(), list.end(), tag));
}

void Model::push_front(std::vector<int> &list, int tag)
{
    list.insert(list.begin(), tag);
}

bool Model::is_free(int tag) const
{
    const auto &f = free_[set_of(tag)];
    return std::find(f.begin(), f.end(), tag) != f.end();
}

int Model::lookup(uint32_t set, Key id) const
{
    for (int t : used_[set])
        if (tags_[size_t(t)].id == id)
            return t;
    return -1;
}

int Model::insert(uint32_t set, Key id)
{
    int t = lookup(set, id);
    if (t >= 0) {
        erase(used_[set], t);
        push_front(used_[set], t);
        return t;
    }
    if (!free_[set].empty()) {
        t = free_[set].front();
        erase(free_[set], t);
    } else {
        for (int u : used_[set])
            if ((tags_[size_t(u)].flags & 3) == 0) {
                t = u;
                break;
            }
        if (t < 0)
            return -1;
        erase(used_[set], t);
    }
    tags_[size_t(t)].id = id;
    tags_[size_t(t)].flags = 0;
    push_front(used_[set], t);
    return t;
}

int Model::remove_id(uint32_t set, Key id)
{
    int t = lookup(set, id);
    if (t < 0 || (tags_[size_t(t)].flags & 3))
        return -1;
    erase(used_[set], t);
    push_front(free_[set], t);
    return 0;
}

int Model::remove_tag(int t)
{
    if (tags_[size_t(t)].flags & 3)
        return -1;
    uint32_t set = set_of(t);
    erase(is_free(t) ? free_[set] : used_[set], t);
    push_front(free_[set], t);
    return 0;
}

void Model::mark(int t, bool dirty)
{
    Tag &tag = tags_[size_t(t)];
    uint32_t set = set_of(t);
    bool was = tag.flags & 1;
    if (was != dirty) {
        tag.flags = uint16_t(dirty ? tag.flags | 1 : tag.flags & ~1);
        dirty_[set] += dirty ? 1 : uint32_t(-1);
        total_dirty_ += dirty ? 1 : uint32_t(-1);
    }
    erase(used_[set], t);
    push_front(used_[set], t);
}

void Model::set_dirty(int t) { mark(t, true); }
void Model::clear_dirty(int t) { mark(t, false); }

int Model::lock(int t)
{
    Tag &tag = tags_[size_t(t)];
    if (tag.refs == INT32_MAX)
        return -1;
    if (tag.refs++ == 0)
        tag.flags |= 2;
    return 0;
}

int Model::unlock(int t)
{
    Tag &tag = tags_[size_t(t)];
    if (tag.refs == 0)
        return -1;
    if (--tag.refs == 0)
        tag.flags &= uint16_t(~2);
    return 0;
}

int Model::flush(const std::function<bool(int)> &accept) const
{
    for (uint32_t s = 0; s < sets_; ++s)
        for (int t : used_[s])
            if ((tags_[size_t(t)].flags & 1) && accept(t))
                return t;
    return -1;
}

int Model::purge(uint32_t set) const
{
    for (int t : used_[set])
        if ((tags_[size_t(t)].flags & 3) == 1)
            return t;
    return -1;
}

std::vector<int> Model::in_use() const
{
    std::vector<int> out;
    for (uint32_t s = 0; s < sets_; ++s)
        out.insert(out.end(), used_[s].begin(), used_[s].end());
    return out;
}

} // namespace th
