/* The packed records that cross both of the library's interfaces: the C
 * interface (palaver_c.h) and the chatComunicate functions (Palaver.h). Plain
 * C, so that every compiler and language lays them out byte for byte as they
 * travel on the wire. */
#ifndef PALAVER_RECORDS_H
#define PALAVER_RECORDS_H

#include <stdint.h>

#pragma pack(push, 1)

/* A user of the room, 83 bytes, as it travels on the wire. Bytes 4 to 78 hold
 * the NUL-terminated name followed by profile bytes (model, picture, position)
 * whose layout the server and the hosts agree on; the library copies them with
 * the record and never reads them. */
typedef struct stUserInfo {
    int32_t userId;               /* bytes 0-3: the only field users are compared by */
    char name[75];                /* bytes 4-78: name, NUL, then profile bytes */
    unsigned char locationKey[4]; /* bytes 79-82: names the room; copied into requests */
} stUserInfo;

/* The latest action one user showed towards another, 9 bytes. */
typedef struct stActionContent {
    int32_t sender;
    int32_t target;
    unsigned char action;
} stActionContent;

#pragma pack(pop)

#endif
