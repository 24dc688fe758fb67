#pragma once

#include <QString>

namespace quillmere {

// What the engine, and each lane, shows as its state: an error carries the message for the
// user; two errors are equal only when their messages are.
struct SyncEngineState
{
    enum class Kind { error, idle, syncing, paused };

    Kind kind = Kind::idle;
    QString message; // only for error

    static SyncEngineState idle() { return {Kind::idle, {}}; }
    static SyncEngineState syncing() { return {Kind::syncing, {}}; }
    static SyncEngineState paused() { return {Kind::paused, {}}; }
    static SyncEngineState error(QString message) { return {Kind::error, std::move(message)}; }

    bool isError() const { return kind == Kind::error; }

    friend bool operator==(const SyncEngineState &a, const SyncEngineState &b)
    {
        return a.kind == b.kind && (a.kind != Kind::error || a.message == b.message);
    }
};

} // namespace quillmere
