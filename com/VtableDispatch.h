#pragma once
// IDispatch of an object that is only ever called through its vtable: the
// enumerators and event sinks clients hand to the service. The service never
// calls them late-bound, so they report no type information.

#include <oaidl.h>

#define ZEL_VTABLE_ONLY_DISPATCH                                                                          \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {                                    \
        if (count) *count = 0;                                                                            \
        return S_OK;                                                                                      \
    }                                                                                                     \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }         \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {            \
        return E_NOTIMPL;                                                                                 \
    }                                                                                                     \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,       \
                                     UINT*) override {                                                    \
        return E_NOTIMPL;                                                                                 \
    }
