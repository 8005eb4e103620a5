/* Millisecond sleep. */
#ifndef VEK_TIME_H
#define VEK_TIME_H

#ifdef __cplusplus
extern "C" {
#endif

/* Sleeps the whole time even when signals interrupt it; values below 1
 * return at once. */
void vek_sleepMS(long milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* VEK_TIME_H */
