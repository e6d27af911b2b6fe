// The Compare window: the parameter set on the panel beside the controller's RAM and EEPROM and a
// parameter file, the words that differ marked, and any of them taken into the panel, from where
// the usual Send writes it.
#pragma once

namespace kelvaro {

int CC_MenuCompare(int panel, int control, int event, void *callbackData, int eventData1,
                   int eventData2);

} // namespace kelvaro
