// STUB: being written.
#pragma once
