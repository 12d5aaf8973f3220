/*
 * Tour events library: the "head moving" events of each camera.
 *
 * On a device the vendor's library provides these calls; on a development
 * machine the stand-in (libtourevents) receives the "HeadMoving" signal of
 * "com.vorn.PTZ.Events" on the system bus. Callbacks run on the main context
 * of the thread that enabled them.
 */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* `value` non-zero: the camera's head is moving; 0: it has stopped. */
typedef void (*tour_moving_event_cb)(void *user_data, int value);

/* Readies the tour-moving events; further calls do nothing. Returns 0/-1. */
int tour_moving_events_init(void);
/* At most one registration per camera: enabling again replaces it. Returns
 * 0, or -1 for a camera id outside 1..8 (then nothing is registered). */
int tour_moving_events_enable(tour_moving_event_cb callback, void *user_data,
                              int camera_id);
/* Any id, -1 included, is accepted; one without a registration is ignored. */
void tour_moving_events_disable(int camera_id);

#ifdef __cplusplus
}
#endif
