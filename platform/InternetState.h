#pragma once
// Whether the machine has a network connection at all: an interface that is
// up, not the loopback, with an address. A cheap local test that never
// blocks, so timers on the main thread may call it.
bool InternetGetConnectedState();
