// Process-wide state of the running application that layers below the GUI framework
// read: a synchronous wait gives up at once when the application is terminating.
#pragma once

bool ApplicationTerminating();
// Set by the GUI framework's application object.
void SetApplicationTerminating(bool terminating);
