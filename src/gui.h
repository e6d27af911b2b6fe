// Panel value exchange and the chart history windows.
#pragma once

namespace kelvaro {

void GetPanelValues(void);
void SetPanelValues(void);
void FillarrayNORM(int tol, int ref, int value);
void FillarrayRAW(int first, int second);

} // namespace kelvaro
