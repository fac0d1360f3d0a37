// tovrick.hpp - a header-only C++17 wrapper over tovrick.h.
//
// tovrick::cache<Id, Record> owns a cache whose ids are values of type Id
// (trivially copyable; the cache keeps a copy of each) and whose tags are
// Record objects, whose first member must be a tovrick_tag.  Every member is
// a thin inline call of the C function of the same name; nothing allocates
// but creation and nothing throws.  Callables given to flush_if and visit
// must not throw: they are called from C.
//
//   struct page { tovrick_tag hdr; char data[4096]; };
//   auto pages = tovrick::cache<uint64_t, page>::create(1024, 4);
//   if (!pages) ...;                       // refused or out of memory
//   page *p = pages.insert(42);            // the tag holding 42, or nullptr
#ifndef TOVRICK_HPP
#define TOVRICK_HPP

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "tovrick.h"

namespace tovrick {

// The default hash: the 64-bit finalizer of splitmix64 over the id's bytes
// (folded 8 at a time), so every bit of the id reaches the low bits that
// choose the set.
template <class Id>
struct hash {
    uint32_t operator()(const Id &id) const noexcept
    {
        unsigned char bytes[sizeof(Id)];
        std::memcpy(bytes, &id, sizeof(Id));
        uint64_t z = sizeof(Id);
        for (size_t i = 0; i < sizeof(Id); i += 8) {
            uint64_t word = 0;
            std::memcpy(&word, bytes + i, sizeof(Id) - i < 8 ? sizeof(Id) - i : 8);
            z += word;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            z ^= z >> 31;
        }
        return static_cast<uint32_t>(z);
    }
};

// The default equality: the ids' bytes are equal.
template <class Id>
struct equal {
    bool operator()(const Id &a, const Id &b) const noexcept
    {
        return std::memcmp(&a, &b, sizeof(Id)) == 0;
    }
};

template <class Id, class Record, class Hash = hash<Id>, class Equal = equal<Id>>
class cache {
    static_assert(std::is_trivially_copyable_v<Id> && std::is_default_constructible_v<Id>,
                  "ids are copied as bytes");
    static_assert(std::is_standard_layout_v<Record>,
                  "Record must be standard-layout, with a tovrick_tag as its first member");
    static_assert(std::is_empty_v<Hash> && std::is_empty_v<Equal>,
                  "the C callbacks carry no state: Hash and Equal must be stateless");

public:
    // A cache of num_sets x num_ways tags; empty (false) when creation is
    // refused or memory is short.
    static cache create(uint32_t num_sets, uint32_t num_ways) noexcept
    {
        return cache(tovrick_create(num_sets, num_ways, sizeof(Id), sizeof(Record), nullptr,
                                    hash_id, compare_ids));
    }

    cache() noexcept = default;
    cache(cache &&other) noexcept : c_(std::exchange(other.c_, nullptr)) {}
    cache &operator=(cache &&other) noexcept
    {
        if (this != &other) {
            reset();
            c_ = std::exchange(other.c_, nullptr);
        }
        return *this;
    }
    cache(const cache &) = delete;
    cache &operator=(const cache &) = delete;
    ~cache() { reset(); }

    explicit operator bool() const noexcept { return c_ != nullptr; }
    tovrick_cache *get() const noexcept { return c_; }

    Record *insert(const Id &id) noexcept { return record(tovrick_insert(c_, &id)); }
    Record *lookup(const Id &id) const noexcept { return record(tovrick_lookup(c_, &id)); }
    bool remove(const Id &id) noexcept { return tovrick_remove_id(c_, &id) == 0; }
    bool remove(Record *r) noexcept { return tovrick_remove_tag(c_, tag(r)) == 0; }

    void set_dirty(Record *r) noexcept { tovrick_set_dirty(c_, tag(r)); }
    void clear_dirty(Record *r) noexcept { tovrick_clear_dirty(c_, tag(r)); }
    static bool is_dirty(const Record *r) noexcept { return tovrick_is_dirty(tag(r)) != 0; }
    uint32_t num_dirty() const noexcept { return tovrick_num_dirty(c_); }
    Record *flush() noexcept { return record(tovrick_flush(c_)); }
    Record *purge(const Id &id) noexcept { return record(tovrick_purge(c_, &id)); }

    // The first dirty record, in flush order, for which accept(Record &) is true.
    template <class F>
    Record *flush_if(F &&accept) noexcept
    {
        using Fn = std::remove_reference_t<F>;
        auto thunk = [](void *ctx, tovrick_tag *t) noexcept -> int {
            return (*static_cast<Fn *>(ctx))(*record(t)) ? 1 : 0;
        };
        return record(tovrick_flush_if(c_, thunk, const_cast<void *>(static_cast<const void *>(&accept))));
    }

    bool lock(Record *r) noexcept { return tovrick_lock_tag(c_, tag(r)) == 0; }
    bool unlock(Record *r) noexcept { return tovrick_unlock_tag(c_, tag(r)) == 0; }
    static uint32_t refcount(const Record *r) noexcept { return tovrick_get_refcount(tag(r)); }

    // Calls visit(Record &, const Id &) for every record in use, in walk order.
    template <class F>
    void visit(F &&fn) noexcept
    {
        using Fn = std::remove_reference_t<F>;
        auto thunk = [](void *ctx, tovrick_cache *, tovrick_tag *t, const void *id) noexcept -> int {
            Id value;
            std::memcpy(&value, id, sizeof(Id));
            (*static_cast<Fn *>(ctx))(*record(t), static_cast<const Id &>(value));
            return 0;
        };
        tovrick_visit_tags(c_, thunk, const_cast<void *>(static_cast<const void *>(&fn)));
    }

private:
    explicit cache(tovrick_cache *c) noexcept : c_(c) {}

    void reset() noexcept
    {
        if (c_)
            tovrick_destroy(std::exchange(c_, nullptr));
    }

    static uint32_t hash_id(const void *id) noexcept
    {
        Id value;
        std::memcpy(&value, id, sizeof(Id));
        return Hash{}(value);
    }

    static int compare_ids(const void *stored, const void *id) noexcept
    {
        Id a, b;
        std::memcpy(&a, stored, sizeof(Id));
        std::memcpy(&b, id, sizeof(Id));
        return Equal{}(a, b) ? 0 : 1;
    }

    // A record's address is its tag header's.
    static Record *record(tovrick_tag *t) noexcept { return reinterpret_cast<Record *>(t); }
    static tovrick_tag *tag(Record *r) noexcept { return reinterpret_cast<tovrick_tag *>(r); }
    static const tovrick_tag *tag(const Record *r) noexcept
    {
        return reinterpret_cast<const tovrick_tag *>(r);
    }

    tovrick_cache *c_ = nullptr;
};

} // namespace tovrick

#endif // TOVRICK_HPP
