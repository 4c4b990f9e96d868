#pragma once

// How many workers a batch may run at once within this process's descriptor limit, its soft
// limit raised to the hard one first: a worker that cannot get its pipes would refuse its
// device.
int workersAtOnce();
