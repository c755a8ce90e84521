'''python-dbusmock template: the home screen's shutdown service, as the update daemon calls it.

It accepts setShutdownMode(s) and records each call (org.freedesktop.DBus.Mock.GetCalls).
'''

SYSTEM_BUS = True
BUS_NAME = 'org.nemomobile.lipstick'
MAIN_OBJ = '/shutdown'
MAIN_IFACE = 'org.nemomobile.lipstick'


def load(mock, parameters):
    mock.AddMethod(MAIN_IFACE, 'setShutdownMode', 's', '', '')
