#include "driver.h"

#include <cstring>
#include <sstream>
#include <vector>

#include "invariants.h"

namespace th {

namespace {

struct Rec {
    tovrick_tag hdr;
    uint64_t key; // the id under the caller mapping
};

uint32_t mix_hash(const void *id)
{
    uint64_t z;
    std::memcpy(&z, id, sizeof z);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return uint32_t(z ^ (z >> 31));
}

uint32_t one_set_hash(const void *) { return 0xABCD0000u; }

int cmp_id(const void *stored, const void *id) { return std::memcmp(stored, id, sizeof(uint64_t)); }

const void *rec_key(const tovrick_cache *, const tovrick_tag *tag)
{
    return &reinterpret_cast<const Rec *>(tag)->key;
}

bool predicate_accepts(int tag, uint32_t salt) { return ((uint32_t(tag) * 2654435761u) ^ salt) % 4 == 0; }

struct VisitCtx {
    std::vector<const tovrick_tag *> tags;
    std::vector<uint64_t> ids;
};

int record_visit(void *ctx, tovrick_cache *, tovrick_tag *tag, const void *id)
{
    auto *v = static_cast<VisitCtx *>(ctx);
    uint64_t key;
    std::memcpy(&key, id, sizeof key);
    v->tags.push_back(tag);
    v->ids.push_back(key);
    return 1;
}

const char *const kOpNames[] = {"insert", "lookup", "lookup__impl", "remove_id", "remove_tag",
                                "set_dirty", "clear_dirty", "lock", "unlock", "flush",
                                "flush_if", "purge", "visit"};

} // namespace

Driver::Driver(const DriverGeometry &g) : g_(g), model_(g.sets, g.ways)
{
    cache_ = tovrick_create(g.sets, g.ways, sizeof(uint64_t), uint32_t(sizeof(Rec) + g.tag_padding),
                            g.caller_mapping ? rec_key : nullptr,
                            g.one_set_hash ? one_set_hash : mix_hash, cmp_id);
}

Driver::~Driver()
{
    if (cache_)
        tovrick_destroy(cache_);
}

uint32_t Driver::hash(uint64_t key) const
{
    return g_.one_set_hash ? one_set_hash(&key) : mix_hash(&key);
}

int Driver::index_of(const tovrick_tag *tag) const
{
    if (!tag)
        return -1;
    auto offset = reinterpret_cast<const char *>(tag) - static_cast<const char *>(cache_->tags);
    return int(offset / cache_->tag_stride);
}

tovrick_tag *Driver::tag_at(int index) const
{
    return reinterpret_cast<tovrick_tag *>(static_cast<char *>(cache_->tags) +
                                           size_t(index) * cache_->tag_stride);
}

int Driver::pick_in_use(uint32_t pick) const
{
    std::vector<int> all = model_.in_use();
    return all.empty() ? -1 : all[pick % all.size()];
}

Op Driver::random_op(std::mt19937_64 &rng) const
{
    // Weights per kind, in OpKind order: placing and marking dominate so
    // sets fill, collide and run out of clean tags.
    static const int weights[] = {30, 8, 4, 5, 4, 12, 8, 7, 7, 3, 3, 3, 1};
    static const int total = [] {
        int t = 0;
        for (int w : weights)
            t += w;
        return t;
    }();
    int r = int(rng() % uint64_t(total)), k = 0;
    while (r >= weights[k])
        r -= weights[k++];
    return Op{OpKind(k), rng() % g_.key_space, uint32_t(rng()), uint32_t(rng())};
}

Op Driver::decode(const uint8_t *b)
{
    return Op{OpKind(b[0] % uint8_t(OpKind::Count)), b[1], b[2], uint32_t(b[3]) * 0x01010101u};
}

std::string Driver::describe(const Op &op)
{
    std::ostringstream s;
    s << kOpNames[int(op.kind)] << "(key " << op.key << ", pick " << op.pick << ", salt "
      << op.salt << ")";
    return s.str();
}

std::string Driver::apply(const Op &op)
{
    std::string fault = run(op);
    if (fault.empty())
        fault = compare_state();
    if (fault.empty())
        fault = check_invariants(cache_);
    return fault;
}

// Applies one operation to both sides and compares the results.
std::string Driver::run(const Op &op)
{
    const uint64_t key = op.key;
    const uint32_t set = hash(key) & (g_.sets - 1);
    auto expect = [](const char *what, long long lib, long long model) {
        if (lib == model)
            return std::string();
        return std::string(what) + ": library " + std::to_string(lib) + ", model " +
               std::to_string(model);
    };
    switch (op.kind) {
    case OpKind::Insert: {
        tovrick_tag *t = tovrick_insert(cache_, &key);
        if (t && g_.caller_mapping)
            reinterpret_cast<Rec *>(t)->key = key; // the caller stores the id
        return expect("insert", index_of(t), model_.insert(set, key));
    }
    case OpKind::Lookup:
        return expect("lookup", index_of(tovrick_lookup(cache_, &key)), model_.lookup(set, key));
    case OpKind::LookupImpl: {
        uint32_t given = (op.salt & 1) ? hash(key) : set; // full or masked
        given ^= op.salt & ~(g_.sets - 1) & ~1u;          // high bits must not matter
        return expect("lookup__impl", index_of(tovrick_lookup__impl(cache_, &key, given)),
                      model_.lookup(set, key));
    }
    case OpKind::RemoveId:
        return expect("remove_id", tovrick_remove_id(cache_, &key), model_.remove_id(set, key));
    case OpKind::RemoveTag: {
        int t = int(op.pick % (g_.sets * g_.ways)); // free tags too
        return expect("remove_tag", tovrick_remove_tag(cache_, tag_at(t)), model_.remove_tag(t));
    }
    case OpKind::SetDirty:
    case OpKind::ClearDirty:
    case OpKind::Lock: {
        int t = pick_in_use(op.pick); // marking and locking are for tags in use
        if (t < 0)
            return {};
        if (op.kind == OpKind::SetDirty) {
            tovrick_set_dirty(cache_, tag_at(t));
            model_.set_dirty(t);
            return {};
        }
        if (op.kind == OpKind::ClearDirty) {
            tovrick_clear_dirty(cache_, tag_at(t));
            model_.clear_dirty(t);
            return {};
        }
        return expect("lock", tovrick_lock_tag(cache_, tag_at(t)), model_.lock(t));
    }
    case OpKind::Unlock: {
        int t = int(op.pick % (g_.sets * g_.ways));
        return expect("unlock", tovrick_unlock_tag(cache_, tag_at(t)), model_.unlock(t));
    }
    case OpKind::Flush:
        return expect("flush", index_of(tovrick_flush(cache_)), model_.flush([](int) { return true; }));
    case OpKind::FlushIf: {
        struct Ctx {
            const Driver *self;
            uint32_t salt;
            std::vector<int> offered;
        } ctx{this, op.salt, {}};
        auto pred = [](void *p, tovrick_tag *tag) {
            auto *c = static_cast<Ctx *>(p);
            int t = c->self->index_of(tag);
            c->offered.push_back(t);
            return predicate_accepts(t, c->salt) ? 1 : 0;
        };
        int lib = index_of(tovrick_flush_if(cache_, pred, &ctx));
        std::vector<int> offered;
        int model = model_.flush([&](int t) {
            offered.push_back(t);
            return predicate_accepts(t, op.salt);
        });
        if (offered != ctx.offered)
            return "flush_if offered a different sequence of tags";
        return expect("flush_if", lib, model);
    }
    case OpKind::Purge:
        return expect("purge", index_of(tovrick_purge(cache_, &key)), model_.purge(set));
    case OpKind::Visit: {
        VisitCtx v;
        tovrick_visit_tags(cache_, record_visit, &v);
        std::vector<int> order = model_.in_use();
        if (v.tags.size() != order.size())
            return expect("visit count", long(v.tags.size()), long(order.size()));
        for (size_t i = 0; i < order.size(); ++i)
            if (index_of(v.tags[i]) != order[i] || v.ids[i] != model_.tag(order[i]).id)
                return "visit " + std::to_string(i) + ": library tag " +
                       std::to_string(index_of(v.tags[i])) + ", model tag " + std::to_string(order[i]);
        return {};
    }
    case OpKind::Count:
        break;
    }
    return "unknown operation";
}

// The whole observable state: both lists of every set in order, every tag's
// flags and count, the id of every tag in use, every dirty count.
std::string Driver::compare_state() const
{
    std::ostringstream err;
    for (uint32_t s = 0; s < g_.sets; ++s) {
        for (bool free_list : {false, true}) {
            const tovrick_list *head = free_list ? &cache_->free_lists[s] : &cache_->used_lists[s];
            const std::vector<int> &want = free_list ? model_.free_list(s) : model_.used(s);
            std::vector<int> got;
            for (const tovrick_list *n = head->next; n != head && got.size() <= g_.ways; n = n->next)
                got.push_back(index_of(reinterpret_cast<const tovrick_tag *>(n)));
            if (got != want) {
                err << "set " << s << (free_list ? " free" : " in-use") << " list:";
                for (int t : got)
                    err << ' ' << t;
                err << "; model:";
                for (int t : want)
                    err << ' ' << t;
                return err.str();
            }
        }
        if (cache_->dirty_per_set[s] != model_.dirty(s))
            return "set " + std::to_string(s) + " dirty counter differs";
        for (int t : model_.used(s)) {
            uint64_t id;
            std::memcpy(&id, cache_->tag_id_fn(cache_, tag_at(t)), sizeof id);
            if (id != model_.tag(t).id)
                return "tag " + std::to_string(t) + " holds another id";
        }
    }
    for (uint32_t t = 0; t < g_.sets * g_.ways; ++t) {
        const tovrick_tag *tag = tag_at(int(t));
        if (tag->flags != model_.tag(int(t)).flags || tag->refcount != model_.tag(int(t)).refs)
            return "tag " + std::to_string(t) + " flags or count differ";
    }
    if (cache_->num_dirty != model_.total_dirty())
        return "num_dirty differs";
    return {};
}

} // namespace th
