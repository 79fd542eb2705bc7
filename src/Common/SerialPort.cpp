#include "SerialPort.h"

SerialPort::SerialPort() : m_fd(-1), m_isOpen(false) {}
SerialPort::~SerialPort() { ClosePort(); }
int SerialPort::OpenPort(const char*) { return 4; }
void SerialPort::ClosePort() { m_isOpen = false; m_fd = -1; }
long SerialPort::ReadPort(char*, unsigned long) { return -1; }
long SerialPort::WritePort(const char*, unsigned long) { return -1; }
bool SerialPort::IsOpen() const { return m_isOpen; }
