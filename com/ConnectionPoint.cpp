#include "ConnectionPoint.h"
#include "base/Lock.h"
#include "base/Log.h"

#include <new>

namespace zel {


// ---------------------------------------------------------------- TConnectionPoint

TConnectionPoint::TConnectionPoint(TConnectionPoints* container, REFIID iid, ConnectionKind kind,
                                   ConnectEvent onConnect)
    : container_(container), iid_(iid), kind_(kind), onConnect_(std::move(onConnect)) {
    InitializeCriticalSection(&lock_);
}

TConnectionPoint::~TConnectionPoint() {
    if (container_) container_->RemovePoint(this);
    std::vector<Entry> held;
    {
        Lock lock(lock_);
        held.swap(sinks_);
    }
    held.clear();  // the sinks go outside the lock
    DeleteCriticalSection(&lock_);
}

IUnknown* TConnectionPoint::Controller() const { return container_->Controller(); }

HRESULT STDMETHODCALLTYPE TConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TConnectionPoint::AddRef() { return Controller()->AddRef(); }

ULONG STDMETHODCALLTYPE TConnectionPoint::Release() { return Controller()->Release(); }

HRESULT STDMETHODCALLTYPE TConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID) return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (!ppCPC) return E_POINTER;
    *ppCPC = nullptr;
    return Controller()->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(ppCPC));
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (!pdwCookie) return E_POINTER;
    *pdwCookie = 0;
    if (!pUnkSink) return E_POINTER;
    DWORD cookie = 0;
    ULONGLONG serial = 0;
    const TProcessKey owner = CallerProcess();
    size_t limited = 0;  // the connections that left no room for this one
    bool perProcess = false;
    try {
        Lock lock(lock_);
        if (kind_ == ConnectionKind::Single && !sinks_.empty() && sinks_[0].sink) return CONNECT_E_ADVISELIMIT;
        size_t all = 0, own = 0;
        for (const Entry& e : sinks_)
            if (e.sink) {
                ++all;
                if (e.owner == owner) ++own;
            }
        if (own >= MaxConnectionsPerProcess || all >= MaxConnections) {
            perProcess = own >= MaxConnectionsPerProcess;
            limited = perProcess ? own : all;
        } else {
            size_t index = 0;
            while (index < sinks_.size() && sinks_[index].sink) ++index;
            if (index == sinks_.size()) sinks_.emplace_back();
            serial = nextSerial_++;
            sinks_[index] = Entry{pUnkSink, serial, std::string(), owner};
            cookie = static_cast<DWORD>(index + 1);
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
    if (limited) {
        // Written outside the list's lock.
        if (perProcess)
            TryWriteLogFmt("Отказано в подключении клиента: у процесса %d уже %d подключений",
                           {owner.Pid, static_cast<unsigned>(limited)}, LogWarning);
        else
            TryWriteLogFmt("Отказано в подключении клиента (процесс %d): подключений к службе уже %d",
                           {owner.Pid, static_cast<unsigned>(limited)}, LogWarning);
        return CONNECT_E_ADVISELIMIT;
    }
    try {
        if (onConnect_) onConnect_(pUnkSink, true, cookie, serial);
    } catch (...) {
        // A connection whose set-up failed is not kept.
        Entry dropped;  // goes outside the lock
        {
            Lock lock(lock_);
            if (cookie <= sinks_.size() && sinks_[cookie - 1].serial == serial) {
                dropped = std::move(sinks_[cookie - 1]);
                sinks_[cookie - 1] = Entry();
            }
        }
        return E_UNEXPECTED;
    }
    *pdwCookie = cookie;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::Unadvise(DWORD dwCookie) {
    // A cookie of another process is no connection of the caller's: it is
    // answered as a cookie that was never issued.
    const TProcessKey caller = CallerProcess();
    if (OwnerOf(dwCookie, caller) == CookieOwner::Other) {
        TryWriteLogFmt("Отказано в отключении чужого клиента (dwCoockie: %d): процесс %d", {dwCookie, caller.Pid},
                       LogWarning);
        return CONNECT_E_NOCONNECTION;
    }
    return Remove(dwCookie, nullptr, &caller);
}

HRESULT TConnectionPoint::UnadviseConnection(DWORD cookie, ULONGLONG serial) {
    return Remove(cookie, &serial, nullptr);
}

HRESULT TConnectionPoint::Remove(DWORD cookie, const ULONGLONG* serial, const TProcessKey* owner) {
    Entry entry;
    {
        Lock lock(lock_);
        if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1].sink ||
            (serial && sinks_[cookie - 1].serial != *serial) ||
            (owner && (!owner->Known() || sinks_[cookie - 1].owner != *owner)))
            return CONNECT_E_NOCONNECTION;
        // The entry is emptied at once: a second Unadvise of the same cookie,
        // even a concurrent one, finds no connection.
        entry = std::move(sinks_[cookie - 1]);
        sinks_[cookie - 1] = Entry();
    }
    HRESULT hr = S_OK;
    try {
        if (onConnect_) onConnect_(entry.sink.Get(), false, cookie, entry.serial);
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    return hr;  // the sink goes with the entry, outside the lock
}

std::vector<TConnection> TConnectionPoint::Connections() {
    std::vector<TConnection> result;
    Lock lock(lock_);
    for (size_t i = 0; i < sinks_.size(); ++i) {
        const Entry& entry = sinks_[i];
        if (!entry.sink) continue;
        result.push_back(TConnection{entry.sink, static_cast<DWORD>(i + 1), entry.serial, entry.label, entry.owner});
    }
    return result;
}

void TConnectionPoint::SetLabel(DWORD cookie, ULONGLONG serial, const std::string& label) {
    Lock lock(lock_);
    if (cookie != 0 && cookie <= sinks_.size() && sinks_[cookie - 1].sink && sinks_[cookie - 1].serial == serial)
        sinks_[cookie - 1].label = label;
}

CookieOwner TConnectionPoint::OwnerOf(DWORD cookie, const TProcessKey& process) {
    Lock lock(lock_);
    if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1].sink) return CookieOwner::None;
    return process.Known() && sinks_[cookie - 1].owner == process ? CookieOwner::Caller : CookieOwner::Other;
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    try {
        *ppEnum = new TEnumConnections(this, 0, CallerProcess());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

size_t TConnectionPoint::EntryCount() {
    Lock lock(lock_);
    return sinks_.size();
}

bool TConnectionPoint::GetEntry(size_t index, const TProcessKey& process, IUnknown** sink) {
    Lock lock(lock_);
    *sink = nullptr;
    if (index >= sinks_.size() || !sinks_[index].sink || !process.Known() || sinks_[index].owner != process)
        return false;
    sinks_[index].sink.CopyTo(sink);
    return true;
}

// ---------------------------------------------------------------- TConnectionPoints

TConnectionPoints::TConnectionPoints(IUnknown* controller) : controller_(controller) {}

TConnectionPoints::~TConnectionPoints() {
    while (!points_.empty()) delete points_.back();  // each removes itself
}

TConnectionPoint* TConnectionPoints::CreateConnectionPoint(REFIID iid, ConnectionKind kind,
                                                           ConnectEvent onConnect) {
    auto* point = new TConnectionPoint(this, iid, kind, std::move(onConnect));
    points_.push_back(point);
    return point;
}

void TConnectionPoints::RemovePoint(TConnectionPoint* point) {
    for (auto it = points_.begin(); it != points_.end(); ++it)
        if (*it == point) {
            points_.erase(it);
            return;
        }
}

HRESULT STDMETHODCALLTYPE TConnectionPoints::QueryInterface(REFIID riid, void** ppv) {
    return controller_->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE TConnectionPoints::AddRef() { return controller_->AddRef(); }

ULONG STDMETHODCALLTYPE TConnectionPoints::Release() { return controller_->Release(); }

HRESULT STDMETHODCALLTYPE TConnectionPoints::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    try {
        *ppEnum = new TEnumConnectionPoints(this, 0);
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT STDMETHODCALLTYPE TConnectionPoints::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    for (TConnectionPoint* point : points_)
        if (IsEqualIID(point->Iid(), riid)) {
            *ppCP = point;
            point->AddRef();
            return S_OK;
        }
    return CONNECT_E_NOCONNECTION;
}

// ---------------------------------------------------------------- TEnumConnections

TEnumConnections::TEnumConnections(TConnectionPoint* point, size_t index, const TProcessKey& process)
    : point_(point), controller_(point->Controller()), index_(index), count_(point->EntryCount()), process_(process) {
    controller_->AddRef();
}

TEnumConnections::~TEnumConnections() { controller_->Release(); }

HRESULT STDMETHODCALLTYPE TEnumConnections::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumConnections)) {
        *ppv = static_cast<IEnumConnections*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TEnumConnections::AddRef() { return ++refCount_; }

ULONG STDMETHODCALLTYPE TEnumConnections::Release() {
    LONG count = --refCount_;
    if (count == 0) delete this;
    return count;
}

HRESULT STDMETHODCALLTYPE TEnumConnections::Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) {
    if (pcFetched) *pcFetched = 0;
    if (!rgcd && cConnections) return E_POINTER;
    ULONG filled = 0;
    while (filled < cConnections && index_ < count_) {
        IUnknown* sink = nullptr;
        if (point_->GetEntry(index_, process_, &sink)) {
            rgcd[filled].pUnk = sink;
            rgcd[filled].dwCookie = static_cast<DWORD>(index_ + 1);
            ++filled;
        }
        ++index_;
    }
    if (pcFetched) *pcFetched = filled;
    return filled == cConnections ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE TEnumConnections::Skip(ULONG cConnections) {
    ULONG skipped = 0;
    while (skipped < cConnections && index_ < count_) {
        IUnknown* sink = nullptr;
        if (point_->GetEntry(index_, process_, &sink)) {
            sink->Release();
            ++skipped;
        }
        ++index_;
    }
    return skipped == cConnections ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE TEnumConnections::Reset() {
    index_ = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TEnumConnections::Clone(IEnumConnections** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    try {
        *ppEnum = new TEnumConnections(point_, index_, process_);
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------- TEnumConnectionPoints

TEnumConnectionPoints::TEnumConnectionPoints(TConnectionPoints* container, size_t index)
    : container_(container), index_(index) {
    container_->Controller()->AddRef();
}

TEnumConnectionPoints::~TEnumConnectionPoints() { container_->Controller()->Release(); }

HRESULT STDMETHODCALLTYPE TEnumConnectionPoints::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumConnectionPoints)) {
        *ppv = static_cast<IEnumConnectionPoints*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TEnumConnectionPoints::AddRef() { return ++refCount_; }

ULONG STDMETHODCALLTYPE TEnumConnectionPoints::Release() {
    LONG count = --refCount_;
    if (count == 0) delete this;
    return count;
}

HRESULT STDMETHODCALLTYPE TEnumConnectionPoints::Next(ULONG cConnections, IConnectionPoint** ppCP,
                                                      ULONG* pcFetched) {
    if (pcFetched) *pcFetched = 0;
    if (!ppCP && cConnections) return E_POINTER;
    ULONG filled = 0;
    while (filled < cConnections && index_ < container_->PointCount()) {
        IConnectionPoint* point = container_->Point(index_);
        point->AddRef();
        ppCP[filled++] = point;
        ++index_;
    }
    if (pcFetched) *pcFetched = filled;
    return filled == cConnections ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE TEnumConnectionPoints::Skip(ULONG cConnections) {
    index_ += cConnections;
    if (index_ > container_->PointCount()) {
        index_ = container_->PointCount();
        return S_FALSE;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TEnumConnectionPoints::Reset() {
    index_ = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TEnumConnectionPoints::Clone(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    try {
        *ppEnum = new TEnumConnectionPoints(container_, index_);
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace zel
