#include "entry/win32/library_state.h"

#include <cstdlib>

namespace tl::entry {

static_assert(kRequestRecordSize == TRUSTLIST_REQUEST_SIZE);
static_assert(kRequestNextOffset == offsetof(TrustlistRequest, next));

namespace {

HMODULE g_host_module = nullptr;
// Static storage: built before DllMain runs, destroyed after the last entry
// point could be called.
CVarBlockList g_list;

}  // namespace

HMODULE HostModule() { return g_host_module; }
void SetHostModuleHandle(HMODULE module) { g_host_module = module; }

CVarBlockList& GlobalList() { return g_list; }

TrustlistRequest* CurrentRequest() { return static_cast<TrustlistRequest*>(g_list.RequestChain()); }

void ReleaseRequestChain() {
  auto* record = static_cast<TrustlistRequest*>(g_list.RequestChain());
  g_list.SetRequestChain(nullptr);
  while (record != nullptr) {
    TrustlistRequest* next = record->next;
    std::free(record);
    record = next;
  }
}

void AppendRequest(TrustlistRequest* record) {
  auto* head = static_cast<TrustlistRequest*>(g_list.RequestChain());
  if (head == nullptr) {
    g_list.SetRequestChain(record);
    return;
  }
  while (head->next != nullptr) head = head->next;
  head->next = record;
}

}  // namespace tl::entry
