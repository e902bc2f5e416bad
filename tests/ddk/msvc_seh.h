/*
 * Forced into every driver source by the DDK check, ahead of the source's
 * own includes.
 *
 * __try, __except and __finally are keywords of Microsoft's compiler, not
 * names of the DDK's headers, and MinGW-w64's g++ does not know them in
 * C++. The check only compiles for syntax, so each keyword becomes a plain
 * statement that keeps the guarded block, the filter expression and the
 * handler subject to the compiler's checks. Nothing here runs: whether a
 * raise reaches the handler is the platform's business (its own guards,
 * tested by the platform's tests), not something this check can show.
 *
 * It lives outside driver/ because it is not part of the driver: a build
 * with Microsoft's compiler needs no such mapping.
 */
#pragma once

// clang-format off
#define __try if (1)
#define __except(Filter) else if ((void)(Filter), 0)
#define __finally if (1)
// clang-format on
#define __leave
