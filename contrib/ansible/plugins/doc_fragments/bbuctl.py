# -*- coding: utf-8 -*-
# Copyright (c) 2026 bbu maintainers
# SPDX-License-Identifier: Apache-2.0
# The options every module of the collection takes: how to run bbuctl.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  bbuctl:
    description:
      - How to run bbuctl on the managed machine, as a list of words.
      - The module adds C(--json) and the command; C(-y) only for a change outside check mode.
      - A wrapper may come first, e.g. C([sudo, -n, bbuctl]).
    type: list
    elements: str
    default: [bbuctl]
  adapter:
    description:
      - The I2C adapter's device path (bbuctl C(-a)); bbuctl's default when not given.
    type: str
  lock_wait:
    description:
      - Seconds to wait for another program's lock on the adapter (bbuctl C(-w), 0 to 86400).
    type: int
notes:
  - The module only runs bbuctl and reads its JSON document (schema 1). A missing or unreadable
    document, another schema, or an exit status that disagrees with the document fails the task.
'''
