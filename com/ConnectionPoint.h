// Connection points of the update server: cookies are slot numbers plus one,
// free slots are reused, and the point reports connects and disconnects to
// a handler together with the cookie. A connection belongs to the process
// that advised it: only that process unadvises it or sees it listed.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Caller.h"

namespace zel {

// (Sink as given to Advise, Connecting, Cookie, Serial: the connection's
// number, never given twice by one point)
using ConnectEvent = std::function<void(IUnknown* sink, bool connecting, DWORD cookie, ULONGLONG serial)>;

// One connection as the server sees it: the sink (a reference of its own), its cookie, its serial, the label the server gave it and
// the process that advised it.
struct TConnection {
    Microsoft::WRL::ComPtr<IUnknown> sink;
    DWORD cookie = 0;
    ULONGLONG serial = 0;
    std::string label;
    TProcessKey owner;
};

// What a cookie is to a process.
enum class CookieOwner { None, Caller, Other };

enum class ConnectionKind { Single = 0, Multiple = 1 };

// Connections of one point a client process may hold, and all processes
// together: every connection costs a call into its client at each event.
constexpr size_t MaxConnectionsPerProcess = 32;
constexpr size_t MaxConnections = 512;

class TConnectionPoints;

// One outgoing interface. Its reference counting goes to the controller, so
// a client that holds the point keeps the server object alive.
class TConnectionPoint : public IConnectionPoint {
public:
    TConnectionPoint(TConnectionPoints* container, REFIID iid, ConnectionKind kind, ConnectEvent onConnect);
    virtual ~TConnectionPoint();
    TConnectionPoint(const TConnectionPoint&) = delete;
    TConnectionPoint& operator=(const TConnectionPoint&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

    // The occupied entries; each sink with one new reference.
    std::vector<TConnection> Connections();
    // Unadvises this very connection: nothing when its cookie has been
    // taken by another connection meanwhile (CONNECT_E_NOCONNECTION).
    HRESULT UnadviseConnection(DWORD cookie, ULONGLONG serial);
    // Names this very connection for the server's log lines.
    void SetLabel(DWORD cookie, ULONGLONG serial, const std::string& label);
    // Whether the cookie is a connection of that process, of another one,
    // or no connection at all. A process that cannot be told owns none.
    CookieOwner OwnerOf(DWORD cookie, const TProcessKey& process);

    // Number of entries, occupied or not.
    size_t EntryCount();
    // The sink of an entry of the process with one new reference; false for
    // an empty entry, one of another process or one past the end.
    bool GetEntry(size_t index, const TProcessKey& process, IUnknown** sink);
    IUnknown* Controller() const;
    const IID& Iid() const { return iid_; }

private:
    TConnectionPoints* container_;
    IID iid_;
    ConnectionKind kind_;
    ConnectEvent onConnect_;
    // The list is guarded by lock_ for every access; the lock is never held
    // while a sink or the handler is called.
    struct Entry {
        Microsoft::WRL::ComPtr<IUnknown> sink;
        ULONGLONG serial = 0;
        std::string label;
        TProcessKey owner;
    };
    // Empties the entry of the cookie (of that serial only, of that owner
    // only, when given).
    HRESULT Remove(DWORD cookie, const ULONGLONG* serial, const TProcessKey* owner);

    CRITICAL_SECTION lock_;
    std::vector<Entry> sinks_;
    ULONGLONG nextSerial_ = 1;
};

// The connection-point container of the server object; its IUnknown is the
// controller's.
class TConnectionPoints : public IConnectionPointContainer {
public:
    explicit TConnectionPoints(IUnknown* controller);
    virtual ~TConnectionPoints();
    TConnectionPoints(const TConnectionPoints&) = delete;
    TConnectionPoints& operator=(const TConnectionPoints&) = delete;

    // The container keeps ownership of the point.
    TConnectionPoint* CreateConnectionPoint(REFIID iid, ConnectionKind kind, ConnectEvent onConnect);

    // IUnknown (forwarded to the controller)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    IUnknown* Controller() const { return controller_; }
    size_t PointCount() const { return points_.size(); }
    TConnectionPoint* Point(size_t index) const { return points_[index]; }

private:
    friend class TConnectionPoint;
    void RemovePoint(TConnectionPoint* point);

    IUnknown* controller_;  // not counted: the controller owns the container
    std::vector<TConnectionPoint*> points_;
};

// Enumerates the connections of one point that belong to one process (the
// one that asked for the enumerator), up to the number of entries the point
// had when the enumerator was made.
class TEnumConnections : public IEnumConnections {
public:
    TEnumConnections(TConnectionPoint* point, size_t index, const TProcessKey& process);
    virtual ~TEnumConnections();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnections** ppEnum) override;

private:
    std::atomic<LONG> refCount_{1};
    TConnectionPoint* point_;
    IUnknown* controller_;  // counted for the enumerator's life
    size_t index_;
    size_t count_;
    TProcessKey process_;
};

// Enumerates the points of a container. It has a reference count of its own
// and keeps the controller alive meanwhile.
class TEnumConnectionPoints : public IEnumConnectionPoints {
public:
    TEnumConnectionPoints(TConnectionPoints* container, size_t index);
    virtual ~TEnumConnectionPoints();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** ppEnum) override;

private:
    std::atomic<LONG> refCount_{1};
    TConnectionPoints* container_;
    size_t index_;
};

}  // namespace zel
