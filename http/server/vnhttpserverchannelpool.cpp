// CHttpServerChannelPool: the server's channels by id and their sweep (see
// vnhttpserverchannelpool_internal.h).
#include "http/server/vnhttpserverchannelpool_internal.h"

#include "base/vnlog.h"
#include "base/vntime.h"
#include "http/server/vnhttpserverchannel_internal.h"

CHttpServerChannelPool::CHttpServerChannelPool() : m_uWorking(0) {
    SetTimer(kSweepMs, 0);
}

CHttpServerChannelPool::~CHttpServerChannelPool() {
    std::unordered_map<unsigned long long, Entry> entries;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        entries.swap(m_entries);
    }
    for (auto& kv : entries)
        kv.second.pChannel->Destroy();
    m_uWorking = 0;
}

void CHttpServerChannelPool::AddNew(CHttpServerChannel* pChannel, long long llTime) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_entries[pChannel->GetId()] = Entry{pChannel, kSetNew, llTime, nullptr, false};
}

CHttpServerChannelPool::Entry* CHttpServerChannelPool::Lookup(unsigned long long uId) {
    auto it = m_entries.find(uId);
    return it == m_entries.end() ? nullptr : &it->second;
}

const CHttpServerChannelPool::Entry* CHttpServerChannelPool::Lookup(unsigned long long uId) const {
    auto it = m_entries.find(uId);
    return it == m_entries.end() ? nullptr : &it->second;
}

CHttpServerChannel* CHttpServerChannelPool::Find(unsigned long long uId) const {
    const Entry* e = Lookup(uId);
    return e != nullptr ? e->pChannel : nullptr;
}

void CHttpServerChannelPool::SetSet(Entry& e, Set nSet) {
    if (e.nSet == kSetWorking) --m_uWorking;
    if (nSet == kSetWorking) ++m_uWorking;
    e.nSet = nSet;
}

void CHttpServerChannelPool::SetNotify(unsigned long long uId, CHttpNotify* pNotify) {
    Entry* e = Lookup(uId);
    if (e == nullptr) return;
    SetSet(*e, kSetWorking);
    e->pNotify = pNotify;
    syslog(VN_LOG_NOTICE, "HttpSvrChnPool", __LINE__, "Working Chn Count[%u]",
           static_cast<unsigned int>(m_uWorking));
}

CHttpNotify* CHttpServerChannelPool::GetNotify(unsigned long long uId) const {
    const Entry* e = Lookup(uId);
    return e != nullptr && e->nSet == kSetWorking ? e->pNotify : nullptr;
}

bool CHttpServerChannelPool::IsWorking(unsigned long long uId) const {
    const Entry* e = Lookup(uId);
    return e != nullptr && e->nSet == kSetWorking;
}

void CHttpServerChannelPool::MoveToFinished(unsigned long long uId) {
    Entry* e = Lookup(uId);
    if (e == nullptr) return;
    SetSet(*e, kSetFinished);
    e->pNotify = nullptr;
    e->llTime = vn_time();
    syslog(VN_LOG_NOTICE, "HttpSvrChnPool", __LINE__, "Working Chn Count[%u]",
           static_cast<unsigned int>(m_uWorking));
}

void CHttpServerChannelPool::MoveToNew(unsigned long long uId) {
    Entry* e = Lookup(uId);
    if (e == nullptr || e->nSet == kSetWorking) return;
    SetSet(*e, kSetNew);
    e->llTime = vn_time();
}

void CHttpServerChannelPool::SetAwaiting(unsigned long long uId, bool bAwaiting) {
    Entry* e = Lookup(uId);
    if (e != nullptr) e->bAwaiting = bAwaiting;
}

bool CHttpServerChannelPool::IsAwaiting(unsigned long long uId) const {
    const Entry* e = Lookup(uId);
    return e != nullptr && e->bAwaiting;
}

bool CHttpServerChannelPool::GetLocalIP(unsigned long long uId, vn::strutf8& strIP) const {
    std::lock_guard<std::mutex> guard(m_lock);
    const Entry* e = Lookup(uId);
    if (e == nullptr) return false;
    e->pChannel->GetLocalIP(strIP);
    return true;
}

bool CHttpServerChannelPool::GetPeerIP(unsigned long long uId, vn::strutf8& strIP) const {
    std::lock_guard<std::mutex> guard(m_lock);
    const Entry* e = Lookup(uId);
    if (e == nullptr) return false;
    e->pChannel->GetPeerIP(strIP);
    return true;
}

bool CHttpServerChannelPool::GetContentLen(unsigned long long uId, unsigned long long& uLen) const {
    bool bKnown = false;
    return GetContentLen(uId, uLen, bKnown);
}

bool CHttpServerChannelPool::GetContentLen(unsigned long long uId, unsigned long long& uLen,
                                           bool& bKnown) const {
    std::lock_guard<std::mutex> guard(m_lock);
    const Entry* e = Lookup(uId);
    if (e == nullptr) return false;
    uLen = e->pChannel->GetContentLen();
    bKnown = e->pChannel->IsContentLenKnown();
    return true;
}

void CHttpServerChannelPool::Delete(std::unordered_map<unsigned long long, Entry>::iterator it) {
    CHttpServerChannel* p = it->second.pChannel;
    if (it->second.nSet == kSetWorking) --m_uWorking;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_entries.erase(it);
    }
    // No look-up finds it any more; its timer and socket belong to its own thread.
    p->Destroy();
}

void CHttpServerChannelPool::OnTimer(unsigned int) {
    long long now = vn_time();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Entry& e = it->second;
        if (e.nSet == kSetWorking) {
            ++it;
            continue;
        }
        long long limit = e.nSet == kSetFinished ? kFinishedLimitSec : kNewLimitSec;
        if (e.pChannel->IsClosed()) {
            auto next = std::next(it);
            Delete(it);
            it = next;
            continue;
        }
        if (now > e.llTime && now - e.llTime > limit) e.pChannel->Close();
        ++it;
    }
}
