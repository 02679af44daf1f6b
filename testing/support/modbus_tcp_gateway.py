#!/usr/bin/python3
"""An independent Modbus TCP server for tests (pymodbus): each read of holding
registers is answered with what the Modbus RTU slave on a serial device
answers to the same read, the way a TCP gateway in front of a meter does.

usage: modbus_tcp_gateway.py SERIAL-DEVICE PORT   (prints "ready" once it listens)
"""
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartTcpServer

device, port = sys.argv[1], int(sys.argv[2])
serial = ModbusSerialClient(port=device, baudrate=9600, timeout=1)
if not serial.connect():
    sys.exit("cannot open " + device)


class ForwardedRegisters(ModbusSequentialDataBlock):
    def getValues(self, address, count=1):
        reply = serial.read_holding_registers(address, count, slave=1)
        if reply.isError():
            raise RuntimeError(str(reply))
        return reply.registers


store = ModbusSlaveContext(hr=ForwardedRegisters(0, [0] * 300), zero_mode=True)
print("ready", flush=True)
StartTcpServer(context=ModbusServerContext(slaves=store, single=True), address=("127.0.0.1", port))
