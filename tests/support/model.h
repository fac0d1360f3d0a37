// A reference model of a whole cache, written from the behaviour the
// library promises and sharing none of its code: per set, the in-use and
// free orders as plain arrays (front first), each tag's id, flags and lock
// count, and the dirty counts.  Tags are named by their index in the tag
// array; -1 stands for "none".
#ifndef TOVRICK_TEST_MODEL_H
#define TOVRICK_TEST_MODEL_H

#include <cstdint>
#include <functional>
#include <vector>

namespace th {

class Model {
public:
    using Key = uint64_t;

    struct Tag {
        Key id = 0;
        uint16_t flags = 0; // 1 dirty, 2 locked
        uint32_t refs = 0;
    };

    Model(uint32_t num_sets, uint32_t num_ways);

    int lookup(uint32_t set, Key id) const;
    int insert(uint32_t set, Key id);
    int remove_id(uint32_t set, Key id);
    int remove_tag(int tag);
    void set_dirty(int tag);
    void clear_dirty(int tag);
    int lock(int tag);
    int unlock(int tag);
    // The first dirty tag (sets ascending, lists front first) that `accept`
    // takes; every dirty tag offered is passed to it in order.
    int flush(const std::function<bool(int)> &accept) const;
    int purge(uint32_t set) const;
    std::vector<int> in_use() const; // the walk's order

    uint32_t set_of(int tag) const { return uint32_t(tag) / ways_; }
    bool is_free(int tag) const;

    uint32_t num_sets() const { return sets_; }
    const std::vector<int> &used(uint32_t set) const { return used_[set]; }
    const std::vector<int> &free_list(uint32_t set) const { return free_[set]; }
    const Tag &tag(int t) const { return tags_[size_t(t)]; }
    uint32_t dirty(uint32_t set) const { return dirty_[set]; }
    uint32_t total_dirty() const { return total_dirty_; }

private:
    static void erase(std::vector<int> &list, int tag);
    static void push_front(std::vector<int> &list, int tag);
    void mark(int tag, bool dirty);

    uint32_t sets_, ways_;
    std::vector<Tag> tags_;
    std::vector<std::vector<int>> used_, free_;
    std::vector<uint32_t> dirty_;
    uint32_t total_dirty_ = 0;
};

} // namespace th

#endif
