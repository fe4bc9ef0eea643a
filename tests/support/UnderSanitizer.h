// HOST_UNDER_SANITIZER: defined when this file is compiled with the address or thread sanitizer,
// whose runtime some runs cannot live beside (RTLD_DEEPBIND, a second link-map namespace, a child
// forked while another thread allocates: the address sanitizer's allocator takes no lock at a fork).
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HOST_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HOST_UNDER_SANITIZER 1
#endif
#endif
