/* The steps in which the library reports progress, which are part of what a
 * host may rely on: the search reports KORMELT_SEARCH_PERCENT_STEP x (n - 1)
 * before it tries COMn, the erase KORMELT_ERASE_PERCENT_STEP x k before its
 * request for the block at position k (from 0), so a host can tell from the
 * last report which port answered or how many blocks were erased. Plain C,
 * as the public header includes it. */
#ifndef KORMELT_PROTOCOL_PROGRESS_H
#define KORMELT_PROTOCOL_PROGRESS_H

#define KORMELT_SEARCH_FIRST_PORT 1    /* COM1 */
#define KORMELT_SEARCH_LAST_PORT 7     /* COM7 */
#define KORMELT_SEARCH_PERCENT_STEP 12 /* percent per port tried: 0, 12, ... 72 */
#define KORMELT_ERASE_BLOCK_COUNT 7    /* one erase request per block */
#define KORMELT_ERASE_PERCENT_STEP 14  /* percent per block erased: 0, 14, ... 84 */
#define KORMELT_PERCENT_DONE 100       /* the final report of a search that found nothing, an erase, an upload */

#endif
