// Copies the "HEAP" buffers an earlier boot phase handed over in GUID HOBs
// into SMRAM pool and publishes the list, unless an earlier driver already
// did; then the list is only adopted.
//
// The HOBs lie outside SMRAM and are not trusted: a header is read only
// when the HOB holds it, and a payload only when the HOB holds all of it.
#include <Library/BaseMemoryLib.h>
#include <Library/HeapBufferRelayLib.h>
#include <Library/HobLib.h>
#include <Library/SioDebugOutputLib.h>
#include <Library/SmmMemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>

constinit EFI_GUID gHeapBufferListProtocolGuid = HEAP_BUFFER_LIST_PROTOCOL_GUID;
constinit EFI_GUID gHeapBufferHobGuid = HEAP_BUFFER_HOB_GUID;

constinit HEAP_BUFFER_LIST_PROTOCOL mHeapBufferListProtocol = {1, {nullptr, nullptr}};
constinit HEAP_BUFFER_LINK *mHeapBufferList = nullptr;

namespace {

VOID AppendNode(HEAP_BUFFER_LINK *Head, HEAP_BUFFER_LINK *Entry) {
  Entry->ForwardLink = Head;
  Entry->BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = Entry;
  Head->BackLink = Entry;
}

// One matching HOB: copy it into a new node at the tail of the list.
VOID RelayHob(CONST EFI_HOB_GUID_TYPE *Hob) {
  UINTN DataSize = Hob->Header.HobLength - sizeof(EFI_HOB_GUID_TYPE);
  if (DataSize < sizeof(HEAP_BUFFER_HEADER)) {
    return;
  }
  CONST UINT8 *Data = (CONST UINT8 *)GET_GUID_HOB_DATA(Hob);
  HEAP_BUFFER_HEADER Header;
  CopyMem(&Header, Data, sizeof(Header));
  if (Header.Signature != HEAP_BUFFER_SIGNATURE || Header.Relay != HEAP_BUFFER_RELAY) {
    return;
  }
  // A header that claims more payload than its HOB carries yields nothing.
  if (Header.PayloadSize > DataSize - sizeof(HEAP_BUFFER_HEADER)) {
    return;
  }
  // PayloadSize is bounded by the 16-bit HOB length here, so the sum cannot wrap.
  UINTN NodeSize = (UINTN)Header.PayloadSize + sizeof(HEAP_BUFFER_NODE);
  HEAP_BUFFER_NODE *Node = (HEAP_BUFFER_NODE *)AllocatePool(NodeSize);
  if (Node == nullptr) {
    FatalCodeDisplay(Header.Kind == HEAP_BUFFER_KIND_FATAL_8 ? HEAP_BUFFER_FATAL_KIND_8 : HEAP_BUFFER_FATAL_OTHER_KIND);
    // With the display disabled this HOB yields no node and the walk goes on:
    // each HOB stands alone, and a smaller buffer further on may still fit.
    return;
  }
  CopyMem(&Node->Header, &Header, sizeof(Header));
  AppendNode(mHeapBufferList, &Node->Link);
  if (Header.PayloadSize != 0) {
    CopyMem(Node + 1, Data + sizeof(HEAP_BUFFER_HEADER), Header.PayloadSize);
  }
}

}  // namespace

EFI_STATUS EFIAPI HeapBufferRelayConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  HEAP_BUFFER_LIST_PROTOCOL *Existing = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gHeapBufferListProtocolGuid, nullptr, (VOID **)&Existing);
  if (!EFI_ERROR(Status) && Existing != nullptr) {
    mHeapBufferList = &Existing->List;
    return EFI_SUCCESS;
  }

  mHeapBufferList = &mHeapBufferListProtocol.List;
  mHeapBufferList->ForwardLink = mHeapBufferList;
  mHeapBufferList->BackLink = mHeapBufferList;

  CONST UINT8 *Next = (CONST UINT8 *)GetHobList();
  while (Next != nullptr) {
    CONST EFI_HOB_GUID_TYPE *Hob = (CONST EFI_HOB_GUID_TYPE *)GetNextGuidHob(&gHeapBufferHobGuid, Next);
    // A length shorter than a GUID HOB would stall the walk or misparse the rest.
    if (Hob == nullptr || Hob->Header.HobLength < sizeof(EFI_HOB_GUID_TYPE)) {
      break;
    }
    RelayHob(Hob);
    Next = (CONST UINT8 *)Hob + Hob->Header.HobLength;
  }

  EFI_HANDLE Handle = nullptr;
  Status = gBS->InstallProtocolInterface(&Handle, &gHeapBufferListProtocolGuid, EFI_NATIVE_INTERFACE,
                                         &mHeapBufferListProtocol);
  if (EFI_ERROR(Status)) {
    FatalCodeDisplay(HEAP_BUFFER_FATAL_INSTALL);
  }
  return EFI_SUCCESS;
}
