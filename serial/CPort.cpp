// Unit CPort: the serial port component. (Filled in with the component.)
