/*
 * patrold_names: the names every party on patrold's bus agrees on: its own
 * bus name, object paths and interfaces, the PTZ coordinator's, the client
 * name patrold queues under, the number of cameras and the store group of
 * the tours.
 *
 * One header of constants and nothing else, in a folder of its own, so that
 * every program includes the same text: the daemon's modules, tourctl,
 * paramctl, ptz-sim (which links none of the daemon's code) and the C++
 * tests. The Python tests read the string constants from this very file
 * (tests/conftest.py), so a renamed interface changes them too.
 * Keep each string on one line of the form
 *   inline constexpr char NAME[] = "text";
 * which is what they parse.
 */
#pragma once

/* patrold's service. */
inline constexpr char PATROLD_BUS_NAME[] = "com.vorn.PresetTour";
inline constexpr char PATROLD_OBJECT_PATH[] = "/com/vorn/PresetTour";
inline constexpr char PATROLD_TOUR_INTERFACE[] = "com.vorn.PresetTour";
inline constexpr char PATROLD_CONFHUB_INTERFACE[] =
    "com.vorn.PresetTourConfhub";
inline constexpr char PATROLD_CONTROLLER_INTERFACE[] =
    "com.vorn.PresetTourController";
/* The live status: an object manager with one object per camera,
 * PATROLD_STATUS_PATH "/Camera<n>". */
inline constexpr char PATROLD_STATUS_PATH[] = "/com/vorn/PresetTourStatus";
inline constexpr char PATROLD_STATUS_INTERFACE[] =
    "com.vorn.PresetTourStatus.Camera";

/* The PTZ coordinator: one object per camera, COORDINATOR_PATH_PREFIX
 * "<n>"; driver removal is announced on camera 1's object only. */
inline constexpr char COORDINATOR_BUS_NAME[] = "com.vorn.PTZ.Coordinator";
inline constexpr char COORDINATOR_INTERFACE[] = "com.vorn.PTZ.Coordinator";
inline constexpr char COORDINATOR_PATH_PREFIX[] = "/com/vorn/PTZ/Coordinator/";
inline constexpr char COORDINATOR_SIGNAL_PATH[] = "/com/vorn/PTZ/Coordinator/1";
inline constexpr char PTZ_EVENTS_INTERFACE[] = "com.vorn.PTZ.Events";
inline constexpr char PTZ_EVENTS_PATH[] = "/com/vorn/PTZ/Events";

/* The control client names, the platform's spelling and case included:
 * patrold's own in every coordinator call and control event, and the
 * recorded-tour player's, which takes a camera over for good. */
inline constexpr char PATROLD_CLIENT_NAME[] = "Rezazerar";
inline constexpr char RECORDED_TOUR_CLIENT_NAME[] = "Recordedtour";

/* Cameras are numbered 1 to IMAGE_SOURCES. */
inline constexpr int IMAGE_SOURCES = 8;

/* The store group whose children G<n> are the tours. */
inline constexpr char TOUR_ROOT_GROUP[] = "root.RezazErar";
