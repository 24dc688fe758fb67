#pragma once

#include "Model/SyncFile.h"

#include <QString>

#include <exception>
#include <optional>

namespace quillmere {

// What one failure says about itself, read from the exception once: the client's error, the
// transport's or the disk's beneath it, a refusal of this side, or a stop.
struct FailureFacts
{
    // A stop of the work (CancelledError, or a request or transfer ended by its stop).
    bool cancelled = false;
    // The status the service answered with, when it answered.
    std::optional<int> serviceStatus;
    // The service asked us to slow down: 429, or "429" in the service's own message. A file
    // name or a transport text holding "429" says nothing about the service's load.
    bool rateLimited = false;
    // The network is down or the host unreachable.
    bool network = false;
    // The secure connection failed (the server's certificate refused, among others).
    bool secureConnection = false;
    // The errno of a failure of the local file system, also when the client wrapped it.
    std::optional<int> localErrorNumber;
    // The text of a refusal of this side (lane::LocalRefusal).
    std::optional<QString> refusal;
    // The errno of a failed read of the file to send (FileReadError), also when the client
    // wrapped it.
    std::optional<int> sourceReadErrorNumber;

    static FailureFacts of(const std::exception_ptr &error);
};

// Whether a local failure may pass by itself (a full disk, an I/O error) and is retried on
// the back-off; a clash of names, a refused permission or a read-only disk is not.
bool isTransientLocalError(int errorNumber);

// What the queue does with a failed operation of one record. Exactly one verdict per failure;
// where several would fit, the first in this order wins.
struct FailureVerdict
{
    enum class Kind {
        // A stop, not a failure: the record waits for the next pass as it was.
        cancelled,
        // The service has no room for an upload (507): the record waits in error until the
        // service says there is room again.
        storageFull,
        // The service asked us to slow down: the slot waits retry::rateLimitWait, the record
        // is owed again without counting a failure.
        rateLimited,
        // The record's version changed during the attempt: the failure is not this version's;
        // the record stays owed.
        changedMeanwhile,
        // This side refuses the operation for good (refusal holds the text).
        refused,
        // The service refused for good (status holds the answer).
        permanent,
        // The disk refused in a way trying again cannot change (localErrorNumber).
        localPermanent,
        // The disk failed in a way that may pass (localErrorNumber): retried on the back-off.
        localTransient,
        // The network or the service failed: retried on the back-off.
        transient,
    };

    Kind kind = Kind::transient;
    // The service's status as the user is shown it: a 507 that is no upload's is shown as
    // the server failure it is (500).
    std::optional<int> status;
    std::optional<int> localErrorNumber;
    std::optional<QString> refusal;
    bool secureConnection = false;
};

// The one verdict on a failed operation of a record owed `state`; changedMeanwhile: the
// record's generation is no longer the one dispatched.
FailureVerdict classifyFailure(const std::exception_ptr &error, SyncFileDesiredState state, bool changedMeanwhile);

} // namespace quillmere
