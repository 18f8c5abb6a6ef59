// Copies the "HEAP" buffers an earlier boot phase handed over in GUID HOBs
// into SMRAM pool and publishes the list, unless an earlier driver already
// did; then the list is only adopted.
//
// The HOBs lie outside SMRAM and are not trusted: every header field is
// read once into SMRAM, checked there and used only from that copy, so a
// HOB that changes under the walk cannot pass one check and fail the use.
// The list, its nodes and the protocol instance live in SMRAM pool, not in
// the image: they outlive an image whose entry fails and is unloaded.
#include <Library/BaseMemoryLib.h>
#include <Library/HeapBufferRelayLib.h>
#include <Library/HobLib.h>
#include <Library/SioDebugOutputLib.h>
#include <Library/SmmMemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Pi/PiHob.h>

constinit EFI_GUID gHeapBufferListProtocolGuid = HEAP_BUFFER_LIST_PROTOCOL_GUID;
constinit EFI_GUID gHeapBufferHobGuid = HEAP_BUFFER_HOB_GUID;

constinit HEAP_BUFFER_LINK *mHeapBufferList = nullptr;

namespace {

VOID AppendNode(HEAP_BUFFER_LINK *Head, HEAP_BUFFER_LINK *Entry) {
  Entry->ForwardLink = Head;
  Entry->BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = Entry;
  Head->BackLink = Entry;
}

// One heap-buffer HOB whose length (read once by the walk) is HobLength:
// copy it into a new node at the tail of the list.
VOID RelayHob(CONST UINT8 *Hob, UINT16 HobLength) {
  UINTN DataSize = HobLength - sizeof(EFI_HOB_GUID_TYPE);
  if (DataSize < sizeof(HEAP_BUFFER_HEADER)) {
    return;
  }
  CONST UINT8 *Data = Hob + sizeof(EFI_HOB_GUID_TYPE);
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

// The handoff HOB that starts every list says where its end-of-list HOB
// lies; a HOB reaching past that end has a lying length and ends the walk,
// so the walk never leaves the list even when the end-of-list HOB is
// jumped over. A list that does not start with a handoff HOB has no known
// end and yields nothing.
VOID RelayHeapBufferHobs(CONST UINT8 *List) {
  if (List == nullptr) {
    return;
  }
  EFI_HOB_GENERIC_HEADER First;
  CopyMem(&First, List, sizeof(First));
  if (First.HobType != EFI_HOB_TYPE_HANDOFF || First.HobLength < sizeof(EFI_HOB_HANDOFF_INFO_TABLE)) {
    return;
  }
  UINTN EndOfList;
  CopyMem(&EndOfList, List + OFFSET_OF(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList), sizeof(EndOfList));
  if (EndOfList < (UINTN)List) {
    return;
  }
  // An end at the top of the address space wraps this to a few bytes: a
  // shorter walk, never a longer one.
  UINTN Limit = EndOfList - (UINTN)List + sizeof(EFI_HOB_GENERIC_HEADER);
  UINTN Offset = 0;
  while (Limit - Offset >= sizeof(EFI_HOB_GENERIC_HEADER)) {
    CONST UINT8 *Hob = List + Offset;
    EFI_HOB_GENERIC_HEADER Header;
    CopyMem(&Header, Hob, sizeof(Header));
    // A length shorter than a header would stall the walk or misparse the rest.
    if (Header.HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || Header.HobLength < sizeof(Header) ||
        Header.HobLength > Limit - Offset) {
      return;
    }
    if (Header.HobType == EFI_HOB_TYPE_GUID_EXTENSION) {
      // A GUID HOB too short for its own name ends the walk: nothing after
      // it can be trusted to start where its length says.
      if (Header.HobLength < sizeof(EFI_HOB_GUID_TYPE)) {
        return;
      }
      EFI_GUID Name;
      CopyMem(&Name, Hob + OFFSET_OF(EFI_HOB_GUID_TYPE, Name), sizeof(Name));
      if (CompareGuid(&Name, &gHeapBufferHobGuid)) {
        RelayHob(Hob, Header.HobLength);
      }
    }
    Offset += Header.HobLength;
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

  HEAP_BUFFER_LIST_PROTOCOL *Instance = (HEAP_BUFFER_LIST_PROTOCOL *)AllocatePool(sizeof(HEAP_BUFFER_LIST_PROTOCOL));
  if (Instance == nullptr) {
    // Nothing to hang nodes on and nothing to publish.
    mHeapBufferList = nullptr;
    FatalCodeDisplay(HEAP_BUFFER_FATAL_INSTALL);
    return EFI_OUT_OF_RESOURCES;
  }
  Instance->Revision = 1;
  mHeapBufferList = &Instance->List;
  mHeapBufferList->ForwardLink = mHeapBufferList;
  mHeapBufferList->BackLink = mHeapBufferList;

  RelayHeapBufferHobs((CONST UINT8 *)GetHobList());

  EFI_HANDLE Handle = nullptr;
  Status = gBS->InstallProtocolInterface(&Handle, &gHeapBufferListProtocolGuid, EFI_NATIVE_INTERFACE, Instance);
  if (EFI_ERROR(Status)) {
    FatalCodeDisplay(HEAP_BUFFER_FATAL_INSTALL);
  }
  return EFI_SUCCESS;
}
