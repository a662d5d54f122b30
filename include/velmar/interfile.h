/* velmar Interfile 3.3 headers: the key definition file, the header parser, the key store and
 * the header check. */
#ifndef VELMAR_INTERFILE_H
#define VELMAR_INTERFILE_H

#include "common.h"
#include "support.h"

VELMAR_BEGIN_DECLS

VELMAR_END_DECLS

#endif
