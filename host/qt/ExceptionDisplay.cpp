// The Qt binding of the host runtime. (Filled in with the binding.)
