// Random sequences of inserts, renames, deletes, field changes, saves and rollbacks over two
// contexts of one store, checked after every step against a plain in-memory model of what
// the store and each context must hold.
#include "StoreFixture.h"

#include "Model/SyncFile.h"

#include <bitset>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

using namespace quillmere;
using quillmere::test::StoreFixture;

namespace {

enum Field { pathField, retryField, errorField, generationField, fieldCount };

struct Values
{
    QString path;
    qint64 retryCount = 0;
    std::optional<QString> errorMessage;
    qint64 generation = 0;

    bool operator==(const Values &) const = default;
    void set(int field, const Values &from)
    {
        switch (field) {
        case pathField: path = from.path; break;
        case retryField: retryCount = from.retryCount; break;
        case errorField: errorMessage = from.errorMessage; break;
        default: generation = from.generation; break;
        }
    }
    bool same(int field, const Values &other) const
    {
        Values copy = *this;
        copy.set(field, other);
        return copy == *this;
    }
};

} // namespace

// Static, not in the anonymous namespace: the test framework finds its printers by argument-
// dependent lookup, in the namespace of the type printed.
static void PrintTo(const QString &s, std::ostream *out)
{
    *out << '"' << s.toStdString() << '"';
}

namespace {

std::ostream &operator<<(std::ostream &out, const Values &v)
{
    return out << v.path.toStdString() << " retry=" << v.retryCount
               << " error=" << (v.errorMessage ? v.errorMessage->toStdString() : "-") << " gen=" << v.generation;
}

Values valuesOf(const SyncFile &f)
{
    return {f.localPath(), f.retryCount(), f.errorMessage(), f.generation()};
}

// The model: records by a model id; the store's committed values, and per context the
// unsaved changes laid over them.
struct ModelSide
{
    std::map<int, std::pair<std::bitset<fieldCount>, Values>> changed; // stored records changed here
    std::map<int, Values> inserted;                                    // unsaved inserts
    std::set<int> deleted;                                             // stored records removed here
    std::set<QString> pathsInvolved; // paths this side's unsaved work names (kept apart between sides)
    std::map<int, std::shared_ptr<SyncFile>> handles;

    bool hasChanges() const { return !changed.empty() || !inserted.empty() || !deleted.empty(); }
    void clear()
    {
        changed.clear();
        inserted.clear();
        deleted.clear();
        pathsInvolved.clear();
    }
};

class ContextModel : public StoreFixture
{
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        contexts[0] = std::make_unique<ModelContext>(container);
        contexts[1] = std::make_unique<ModelContext>(container);
    }

    std::map<int, Values> view(int side) const
    {
        const ModelSide &m = sides[side];
        std::map<int, Values> result;
        for (const auto &[id, values] : committed) {
            if (m.deleted.count(id))
                continue;
            Values v = values;
            if (auto it = m.changed.find(id); it != m.changed.end())
                for (int f = 0; f < fieldCount; ++f)
                    if (it->second.first[f])
                        v.set(f, it->second.second);
            result[id] = v;
        }
        for (const auto &[id, values] : m.inserted)
            result[id] = values;
        return result;
    }

    std::optional<int> idAt(int side, const QString &path) const
    {
        for (const auto &[id, v] : view(side))
            if (v.path == path)
                return id;
        return std::nullopt;
    }

    std::shared_ptr<SyncFile> handle(int side, int id)
    {
        auto &h = sides[side].handles[id];
        if (!h)
            h = contexts[side]->fetchFirst(SyncFile::withLocalPath(view(side).at(id).path));
        return h;
    }

    // One field write, in the model and through the handle.
    void write(int side, int id, int field, const Values &to)
    {
        ModelSide &m = sides[side];
        const Values now = view(side).at(id);
        if (now.same(field, to))
            return; // an equal value stores nothing
        if (auto it = m.inserted.find(id); it != m.inserted.end()) {
            it->second.set(field, to);
        } else {
            auto &entry = m.changed[id];
            if (entry.first.none())
                entry.second = now;
            entry.first.set(size_t(field));
            entry.second.set(field, to);
        }
    }

    void remove(int side, int id)
    {
        ModelSide &m = sides[side];
        if (m.inserted.erase(id) == 0) {
            m.deleted.insert(id);
            m.changed.erase(id);
        }
    }

    bool freeOfOther(int side, const QString &path) const { return !sides[1 - side].pathsInvolved.count(path); }

    void insert(int side, const Values &v)
    {
        auto record = std::make_shared<SyncFile>(v.path, QStringLiteral("take.wav"));
        record->setRetryCount(v.retryCount);
        record->setErrorMessage(v.errorMessage);
        record->setGeneration(v.generation);
        auto canonical = contexts[side]->insert(record);
        sides[side].pathsInvolved.insert(v.path);
        if (auto existing = idAt(side, v.path)) {
            // A path already held: that record takes the new values and stays the handle.
            EXPECT_EQ(canonical, handle(side, *existing));
            EXPECT_NE(canonical, record);
            for (int f = retryField; f < fieldCount; ++f)
                write(side, *existing, f, v);
        } else {
            EXPECT_EQ(canonical, record);
            const int id = nextID++;
            sides[side].inserted[id] = v;
            sides[side].handles[id] = canonical;
        }
    }

    void rename(int side, int id, const QString &path)
    {
        auto h = handle(side, id);
        ModelSide &m = sides[side];
        m.pathsInvolved.insert(view(side).at(id).path);
        m.pathsInvolved.insert(path);
        if (auto holder = idAt(side, path); holder && *holder != id)
            remove(side, *holder); // the renamed record replaces the one at its new path
        Values to;
        to.path = path;
        write(side, id, pathField, to);
        h->setLocalPath(path);
    }

    void save(int side)
    {
        ModelSide &m = sides[side];
        const auto mine = view(side);
        for (int id : m.deleted)
            committed.erase(id);
        for (const auto &[id, entry] : m.changed)
            committed[id] = mine.at(id);
        for (const auto &[id, values] : m.inserted)
            committed[id] = values;
        m.clear();
        // The other side loses what was deleted, with its unsaved changes to it.
        ModelSide &other = sides[1 - side];
        for (auto it = other.changed.begin(); it != other.changed.end();)
            it = committed.count(it->first) ? std::next(it) : other.changed.erase(it);
        for (auto it = other.deleted.begin(); it != other.deleted.end();)
            it = committed.count(*it) ? std::next(it) : other.deleted.erase(it);
        contexts[side]->save();
    }

    void rollback(int side)
    {
        sides[side].clear();
        contexts[side]->rollback();
    }

    void check(int side, const std::string &step)
    {
        SCOPED_TRACE(step + " / context " + std::to_string(side));
        ModelContext &context = *contexts[side];
        const auto expected = view(side);
        EXPECT_EQ(context.hasChanges(), sides[side].hasChanges());

        FetchDescriptor<SyncFile> all;
        all.sortBy(SyncFile::Field::localPath);
        std::map<QString, Values> fetched, modelled;
        for (const auto &f : context.fetch(all))
            EXPECT_TRUE(fetched.emplace(f->localPath(), valuesOf(*f)).second) << "two records at " << f->localPath().toStdString();
        for (const auto &[id, v] : expected)
            modelled.emplace(v.path, v);
        ASSERT_EQ(fetched, modelled);

        // Every handle held still stands for its record, or is gone with it.
        auto &handles = sides[side].handles;
        for (auto it = handles.begin(); it != handles.end();) {
            auto found = expected.find(it->first);
            if (found == expected.end()) {
                EXPECT_TRUE(it->second->isDeleted() || !it->second->context()) << "model id " << it->first;
                it = handles.erase(it);
                continue;
            }
            EXPECT_FALSE(it->second->isDeleted()) << "model id " << it->first;
            EXPECT_EQ(valuesOf(*it->second), found->second);
            EXPECT_EQ(context.fetchFirst(SyncFile::withLocalPath(found->second.path)), it->second);
            ++it;
        }
    }

    void checkStore(const std::string &step)
    {
        SCOPED_TRACE(step + " / store");
        std::map<QString, Values> stored, modelled;
        auto rows = container->prepare(QStringLiteral("SELECT localPath, retryCount, errorMessage, generation FROM SyncFile"),
                                       StoreError::Kind::fetchFailed, false);
        while (rows.step()) {
            Values v;
            sql::decode(rows.value(0), v.path);
            v.retryCount = rows.integer(1);
            sql::decode(rows.value(2), v.errorMessage);
            v.generation = rows.integer(3);
            stored.emplace(v.path, v);
        }
        for (const auto &[id, v] : committed)
            modelled.emplace(v.path, v);
        ASSERT_EQ(stored, modelled);
    }

    void run(unsigned seed, int steps)
    {
        std::mt19937 random(seed);
        auto pick = [&](int n) { return int(random() % unsigned(n)); };
        // Few paths, so that inserts and renames meet held paths all the time.
        auto somePath = [&] { return QStringLiteral("/lane/%1.wav").arg(pick(10)); };
        auto someValues = [&] {
            Values v;
            v.path = somePath();
            v.retryCount = pick(4);
            if (pick(2))
                v.errorMessage = QStringLiteral("e%1").arg(pick(3));
            v.generation = pick(1000);
            return v;
        };

        for (int step = 0; step < steps; ++step) {
            const int side = pick(2);
            const auto visible = view(side);
            std::vector<int> ids;
            for (const auto &[id, v] : visible)
                if (freeOfOther(side, v.path))
                    ids.push_back(id);
            const int id = ids.empty() ? -1 : ids[size_t(pick(int(ids.size())))];
            std::string label;
            switch (pick(20)) {
            case 0: case 1: case 2: case 3: {
                Values v = someValues();
                if (!freeOfOther(side, v.path))
                    continue;
                label = "insert " + v.path.toStdString();
                insert(side, v);
                break;
            }
            case 4: case 5: case 6: {
                const QString path = somePath();
                if (id < 0 || !freeOfOther(side, path))
                    continue;
                label = "rename " + visible.at(id).path.toStdString() + " to " + path.toStdString();
                rename(side, id, path);
                break;
            }
            case 7: case 8: {
                if (id < 0)
                    continue;
                label = "remove " + visible.at(id).path.toStdString();
                sides[side].pathsInvolved.insert(visible.at(id).path);
                auto h = handle(side, id);
                remove(side, id);
                contexts[side]->remove(h);
                break;
            }
            case 9: case 10: case 11: case 12: {
                // Field changes may meet the other side's changes to the same record.
                if (visible.empty())
                    continue;
                const int any = std::next(visible.begin(), pick(int(visible.size())))->first;
                Values to = someValues();
                const int field = retryField + pick(3);
                label = "change field " + std::to_string(field) + " of " + visible.at(any).path.toStdString();
                auto h = handle(side, any);
                write(side, any, field, to);
                if (field == retryField)
                    h->setRetryCount(to.retryCount);
                else if (field == errorField)
                    h->setErrorMessage(to.errorMessage);
                else
                    h->setGeneration(to.generation);
                break;
            }
            case 13: case 14: case 15: case 16:
                label = "save";
                save(side);
                break;
            case 17:
                label = "rollback";
                rollback(side);
                break;
            case 18: {
                // Handles of unchanged records may go: the context must find the row again.
                label = "let handles go";
                auto &handles = sides[side].handles;
                for (auto it = handles.begin(); it != handles.end();)
                    it = it->second->hasChanges() || it->second->persistentID() == 0 ? std::next(it) : handles.erase(it);
                break;
            }
            default: {
                // A save that the store refuses part-way changes nothing, here or there.
                static const char *const kinds[] = {"INSERT", "UPDATE", "DELETE"};
                const char *kind = kinds[pick(3)];
                label = std::string("save refused at ") + kind;
                container->execute(QStringLiteral("CREATE TEMP TRIGGER refuse BEFORE %1 ON main.SyncFile "
                                                  "BEGIN SELECT RAISE(ABORT, 'refused'); END")
                                       .arg(QLatin1String(kind))
                                       .toUtf8()
                                       .constData(),
                                   StoreError::Kind::saveFailed);
                // Refused exactly when the save has a statement of that kind to run.
                const ModelSide &m = sides[side];
                const bool refusable = kind[0] == 'I' ? !m.inserted.empty()
                    : kind[0] == 'U'                  ? !m.changed.empty()
                                                      : !m.deleted.empty();
                if (refusable)
                    EXPECT_THROW(contexts[side]->save(), StoreError);
                else
                    save(side);
                container->execute("DROP TRIGGER temp.refuse", StoreError::Kind::saveFailed);
                break;
            }
            }
            label = "step " + std::to_string(step) + ": " + label;
            check(0, label);
            check(1, label);
            checkStore(label);
            if (::testing::Test::HasFailure())
                return;
        }
    }

    std::array<std::unique_ptr<ModelContext>, 2> contexts;
    std::array<ModelSide, 2> sides;
    std::map<int, Values> committed;
    int nextID = 1;
};

} // namespace

TEST_F(ContextModel, TwoContextsFollowAnInMemoryModelThroughRandomWork)
{
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        contexts = {};
        sides = {};
        committed.clear();
        container.reset();
        container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("seed%1.sqlite").arg(seed)));
        contexts[0] = std::make_unique<ModelContext>(container);
        contexts[1] = std::make_unique<ModelContext>(container);
        run(seed, 3000);
        if (HasFailure())
            return;
    }
}
