// The test backend of the tray interface: no desktop. It writes every call
// that the host makes as one line ("tray: ...") to its output, and its event
// loop runs a list of steps that inject what a desktop would deliver: icon
// notifications, timer expiries, commands, the taskbar's return, posted
// messages, signals. Nothing but "await" waits for real time: a timer fires
// when a step says so.
//
// Steps, separated by ';' or new lines (each echoed as "> STEP" before it runs):
//   shell N          the shell version to report (4 when not given), also as
//                    the message box's style version; taken when the steps
//                    are set, before the host asks
//   dclick MS        the double-click time to report from now on (500)
//   icon WHAT        an icon notification: move, ldown, lup, ldbl, rdown,
//                    rup or a number
//   timer ID         expiry of a running timer (a timer not running is said so)
//   command N        a command word
//   taskbar          the taskbar came back
//   msg M W L        any message, numbers
//   post STEP        queue the message of an icon, timer, command, taskbar or
//                    msg step instead of delivering it
//   posted           deliver the queued messages
//   await N [queue]  wait (in real time, up to a minute) until N more
//                    messages that other threads posted have been queued
//                    (counted on from the previous await), then deliver the
//                    queued messages, or with "queue" leave them queued; a
//                    wait that runs out says so
//   modal            the next timer or icon call of the host first delivers
//                    the queued messages, as a modal loop inside it would
//   box N            the next message box is answered with button code N
//                    (OK when not given); the box first delivers the queued
//                    messages and the watched descriptors' readiness, and
//                    close_box answers it with Cancel
//   menu N           the next popup menu chooses item N (dismissed when not
//                    given or 0); the menu first delivers the queued messages
//   iconmenu         the desktop is about to show the icon's exported menu
//                    (TRAY_MSG_MENU_OPENING); set_icon_menu writes the items
//                    as "tray: icon_menu ..." ("(empty)" for none)
//   iconchoose N     item N is chosen from the exported menu: queues the
//                    command and then a refresh of the items
//   signal N         raise signal N in this process, then deliver the
//                    readiness of the watched descriptors
// When the steps are done the loop returns: with the quit code when a quit
// was posted, else after "tray: loop ended by the test" with 0.
#pragma once

#include <stdio.h>

#include "platform/tray.h"

const TrayBackend* tray_test_backend();

// Where the lines go (standard output when not set).
void tray_test_set_output(FILE* out);
// The steps that the loop will run.
void tray_test_set_steps(const char* steps);
