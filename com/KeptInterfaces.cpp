#include "KeptInterfaces.h"

#include "store/UpdateEvents.h"
#include "ZELUpdate_TLB.h"

#include <ocidl.h>

#include <mutex>
#include <vector>

namespace zel {

namespace {

struct TKept {
    IUnknown* object;
    IStream* stream;
};

std::mutex keptLock;
std::vector<TKept> kept;

}  // namespace

bool KeepInterfaceRegistered(IUnknown* object, REFIID iid) {
    if (!object) return false;
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return false;
    if (FAILED(CoMarshalInterface(stream, iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG))) {
        stream->Release();
        return false;
    }
    object->AddRef();
    std::lock_guard<std::mutex> lock(keptLock);
    kept.push_back({object, stream});
    return true;
}

void KeepServerInterfaces(IUnknown* object) {
    static const IID* const interfaces[] = {
        &IID_IUnknown,         &IID_IDispatch,          &IID_ISupportErrorInfo, &IID_IZELUpdate,
        &IID_IZELAppList,      &IID_IZELServiceSetup,   &IID_IZELServiceVersion, &IID_IZELService,
        &IID_IZELJobManager,   &IID_IZELJSONRequest,    &IID_IUpdateServerNotify,
        &IID_IConnectionPointContainer};
    for (const IID* iid : interfaces) KeepInterfaceRegistered(object, *iid);

    IConnectionPointContainer* container = nullptr;
    if (FAILED(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))))
        return;
    IEnumConnectionPoints* points = nullptr;
    if (SUCCEEDED(container->EnumConnectionPoints(&points)) && points) {
        KeepInterfaceRegistered(points, IID_IEnumConnectionPoints);
        IConnectionPoint* point = nullptr;
        bool first = true;
        while (points->Next(1, &point, nullptr) == S_OK && point) {
            KeepInterfaceRegistered(point, IID_IConnectionPoint);
            IEnumConnections* connections = nullptr;
            if (first && SUCCEEDED(point->EnumConnections(&connections)) && connections) {
                KeepInterfaceRegistered(connections, IID_IEnumConnections);
                connections->Release();
            }
            first = false;
            point->Release();
            point = nullptr;
        }
        points->Release();
    }
    container->Release();
}

void ReleaseKeptInterfaces() {
    std::vector<TKept> all;
    {
        std::lock_guard<std::mutex> lock(keptLock);
        all.swap(kept);
    }
    // Disconnected first: the release of the table-strong marshal then
    // finds nothing registered to wait for.
    for (TKept& k : all) CoDisconnectObject(k.object, 0);
    for (TKept& k : all) {
        LARGE_INTEGER start = {};
        k.stream->Seek(start, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(k.stream);
        k.stream->Release();
        k.object->Release();
    }
}

}  // namespace zel
