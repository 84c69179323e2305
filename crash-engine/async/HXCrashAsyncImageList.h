// The list of images loaded in the process, walkable at crash time while the dynamic linker's
// callbacks change it on other threads. On Linux it is filled from dl_iterate_phdr and kept
// current through the platform layer's add/remove callbacks (MShxcrash_nasync_image_list_track).
//
// MShxcrash_nasync_* functions allocate and run only outside crash time. The MShxcrash_async_*
// functions are safe at crash time; next and containing_address must run inside a reading
// window (set_reading(true) ... set_reading(false)).
#pragma once

#include "crash-engine/async/HXCrashAsyncLinkedList.h"
#include "crash-engine/macho/HXCrashAsyncMachOImage.h"

struct MShxcrash_async_image_list {
  vx::task_t task;  // holds one send-right reference
  HXCrashAsyncLinkedList<MShxcrash_async_macho*>* list;
  // Records removed from the list stay valid for readers that may still hold them; they are
  // kept here and freed with the list.
  struct retired_record* retired;
  // Images found at crash time in the dynamic linker's own list that the list did not know
  // (loaded with a plain dlopen): records kept in advance, walked after the list's own.
  struct late_images* late;
};

// How many images loaded behind the list's back a crash-time look can add.
inline constexpr std::size_t MSHXCRASH_LATE_IMAGE_COUNT = 64;

void MShxcrash_nasync_image_list_init(MShxcrash_async_image_list* list, vx::task_t task);

// Releases every record (on the list and removed), every node and the task reference. Only when
// no reader can walk the list any more.
void MShxcrash_nasync_image_list_free(MShxcrash_async_image_list* list);

// Builds the record of the image at header and appends it. A record that cannot be built is
// not added ("Unexpected failure initializing Mach-O structure for %s: %d").
void MShxcrash_nasync_image_list_append(MShxcrash_async_image_list* list, hxcrash_vm_address_t header,
                                        const char* name);

// Removes the first image with this header address. Its record stays valid. Not found:
// "Can't find header addr=%llu in Mach-O image list.".
void MShxcrash_nasync_image_list_remove(MShxcrash_async_image_list* list, hxcrash_vm_address_t header);

// Keeps list current with the process's images: appends every image loaded now and, from then
// on, appends and removes as the platform layer reports images coming and going (after
// vx::dyld_dlopen/dyld_dlclose, or any vx::dyld_rescan). untrack stops that.
void MShxcrash_nasync_image_list_track(MShxcrash_async_image_list* list);
void MShxcrash_nasync_image_list_untrack(MShxcrash_async_image_list* list);

// Crash time. Adds the images the dynamic linker lists (read through checked copies) that the
// list does not hold, e.g. libraries loaded with a plain dlopen after tracking began, into the
// records kept in advance (at most MSHXCRASH_LATE_IMAGE_COUNT; names cut at 255 bytes). They
// carry no Mach-O load commands, like every ELF record. Each call replaces what the previous
// one added. Returns how many the list lacked; 0 as well when another thread is adding right
// now.
std::size_t MShxcrash_async_image_list_add_linker_images(MShxcrash_async_image_list* list);

// Crash time. Opens (true) or closes (false) a reading window.
void MShxcrash_async_image_list_set_reading(MShxcrash_async_image_list* list, bool enable);

// Crash time, inside a reading window. The first image (current null) or the one after current;
// the images added by MShxcrash_async_image_list_add_linker_images come last.
MShxcrash_async_macho* MShxcrash_async_image_list_next(MShxcrash_async_image_list* list,
                                                       MShxcrash_async_macho* current);

// Crash time, inside a reading window. The first image whose [header, header + text size)
// holds address, or null.
MShxcrash_async_macho* MShxcrash_async_image_containing_address(MShxcrash_async_image_list* list,
                                                                hxcrash_vm_address_t address);
