#pragma once
// Automatic proxy detection that found nothing, remembered for the network
// for a while: on a network without WPAD every start would otherwise pay
// for a lookup process that finds nothing. The memory is the user's own
// value "ProxyDetectionMissed" under HKCU\Software\Quillbrook\QBSUITE\Updater:
// the time and the network's identity (the DNS suffix and the default
// gateway of every adapter that is up). Another network, or a change of
// either, asks again.

// Whether detection found nothing on this network within the last 10
// minutes.
bool IsDetectionKnownToMiss();
// After a detection: remembers that it missed, or forgets an earlier miss.
void RememberDetection(bool bMissed);
