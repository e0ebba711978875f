#include "KeptInterfaces.h"

#include <wrl/client.h>

#include <mutex>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

struct TKept {
    ComPtr<IUnknown> object;
    ComPtr<IStream> stream;
};

std::mutex keptLock;
std::vector<TKept> kept;

}  // namespace

bool KeepInterfaceRegistered(IUnknown* object, REFIID iid) {
    TKept k{object, nullptr};
    if (!object || FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &k.stream)) ||
        FAILED(CoMarshalInterface(k.stream.Get(), iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG)))
        return false;
    std::lock_guard<std::mutex> lock(keptLock);
    kept.push_back(std::move(k));
    return true;
}

void ReleaseKeptInterfaces() {
    std::vector<TKept> all;
    {
        std::lock_guard<std::mutex> lock(keptLock);
        all.swap(kept);
    }
    // Disconnected first: the release of the table-strong marshal then
    // finds nothing registered to wait for.
    for (TKept& k : all) CoDisconnectObject(k.object.Get(), 0);
    for (TKept& k : all) {
        LARGE_INTEGER start = {};
        k.stream->Seek(start, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(k.stream.Get());
    }
}

}  // namespace zel
