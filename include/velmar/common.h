/* velmar: shared macros of the public headers (export marker, C linkage, fixed-width types). */
#ifndef VELMAR_COMMON_H
#define VELMAR_COMMON_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(VELMAR_BUILDING_LIBRARY)
#define VELMAR_API __attribute__((visibility("default")))
#else
#define VELMAR_API
#endif

#ifdef __cplusplus
#define VELMAR_BEGIN_DECLS extern "C" {
#define VELMAR_END_DECLS }
#else
#define VELMAR_BEGIN_DECLS
#define VELMAR_END_DECLS
#endif

#endif
