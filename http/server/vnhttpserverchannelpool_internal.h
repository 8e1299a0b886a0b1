// Internal header (not installed): CHttpServerChannelPool, every live channel of the
// embedded HTTP server by id, each in one of three sets: new (accepted, not yet answered
// by the caller), working (the caller accepted a transfer; its CHttpNotify is kept here)
// or finished (refused, cancelled or completed). A sweep every second closes channels
// left too long in the new set (3 s) or the finished set (5 s) and deletes closed ones.
// The working set is never swept: its channels always end with a completion.
//
// Thread safety: used on "HttpSvr" (its timer is bound there by the constructor), except
// the channel look-ups for GetLocalIP, GetPeerIP and GetRequestContentLen, which any
// thread may make: the id map is changed on "HttpSvr" under m_lock and read elsewhere
// under it, and a channel leaves the map before it is deleted.
//   CHttpServerChannelPool* pool = new CHttpServerChannelPool;   // on "HttpSvr"
//   pool->AddNew(channel, vn_time());
//   pool->SetNotify(id, notify); ... pool->MoveToFinished(id);
#pragma once

#include <mutex>
#include <unordered_map>

#include "common/vnstream.h"
#include "task/vntimer.h"

class CHttpServerChannel;
class CHttpNotify;

class CHttpServerChannelPool : public CVNTimer {
public:
    enum { kSweepMs = 1000, kNewLimitSec = 3, kFinishedLimitSec = 5 };

    // On "HttpSvr": starts the sweep timer.
    CHttpServerChannelPool();
    // Deletes every channel it holds (on "HttpSvr"; only when the server goes away).
    ~CHttpServerChannelPool() override;
    CHttpServerChannelPool(const CHttpServerChannelPool&) = delete;
    CHttpServerChannelPool& operator=(const CHttpServerChannelPool&) = delete;

    // "HttpSvr" only.
    void AddNew(CHttpServerChannel* pChannel, long long llTime);
    // The channel of an id in any set, or null.
    CHttpServerChannel* Find(unsigned long long uId) const;
    bool Exists(unsigned long long uId) const { return Find(uId) != nullptr; }
    // Into the working set with the caller's notify (from the new or finished set).
    void SetNotify(unsigned long long uId, CHttpNotify* pNotify);
    CHttpNotify* GetNotify(unsigned long long uId) const;
    bool IsWorking(unsigned long long uId) const;
    // Into the finished set, stamped now; the recorded notify is dropped.
    void MoveToFinished(unsigned long long uId);
    // Back into the new set, stamped now: a kept-alive connection brought a new request,
    // and the caller has the new-set limit to answer it.
    void MoveToNew(unsigned long long uId);
    // Whether the channel's current request waits for the caller's answer: set when the
    // request (or the body it asked for) is reported, cleared when an answer is taken.
    void SetAwaiting(unsigned long long uId, bool bAwaiting);
    bool IsAwaiting(unsigned long long uId) const;

    // Any thread: copies the channel's address text or content length; false for an id
    // the pool does not hold.
    bool GetLocalIP(unsigned long long uId, vn::strutf8& strIP) const;
    bool GetPeerIP(unsigned long long uId, vn::strutf8& strIP) const;
    bool GetContentLen(unsigned long long uId, unsigned long long& uLen) const;
    // The same, and whether that length is known (false for a chunked body).
    bool GetContentLen(unsigned long long uId, unsigned long long& uLen, bool& bKnown) const;

    // The sweep.
    void OnTimer(unsigned int id) override;

private:
    enum Set { kSetNew, kSetWorking, kSetFinished };
    struct Entry {
        CHttpServerChannel* pChannel;  // owned by the pool
        Set nSet;
        long long llTime;      // vn_time() seconds of the entry into the new or finished set
        CHttpNotify* pNotify;  // working set only; not owned
        bool bAwaiting;        // the current request waits for an answer
    };

    Entry* Lookup(unsigned long long uId);
    const Entry* Lookup(unsigned long long uId) const;
    void SetSet(Entry& e, Set nSet);
    // Removes the entry and has the channel deleted on its own thread.
    void Delete(std::unordered_map<unsigned long long, Entry>::iterator it);

    mutable std::mutex m_lock;  // guards m_entries against the any-thread look-ups
    // Changed on "HttpSvr" under m_lock; read there without it, elsewhere under it.
    std::unordered_map<unsigned long long, Entry> m_entries;
    size_t m_uWorking;
};
