'''python-dbusmock template: the device state manager's request interface, as the update daemon
calls it.

It accepts req_reboot() and records each call (org.freedesktop.DBus.Mock.GetCalls); nothing
reboots.
'''

SYSTEM_BUS = True
BUS_NAME = 'com.nokia.dsme'
MAIN_OBJ = '/com/nokia/dsme/request'
MAIN_IFACE = 'com.nokia.dsme.request'


def load(mock, parameters):
    mock.AddMethod(MAIN_IFACE, 'req_reboot', '', '', '')
