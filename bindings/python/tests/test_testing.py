"""kivsdk.testing: a kit in the test process serves a Python bot; actors,
a fault and the assertions as a bot author uses them."""
import unittest

import kivsdk
from kivsdk import Event
from kivsdk.testing import Sandbox, SandboxError


class KitTest(unittest.TestCase):
    def setUp(self):
        self.kit = Sandbox("--world", "lobby")
        self.addCleanup(self.kit.close)
        self.bot = kivsdk.Instance()
        self.addCleanup(self.bot.close)
        Sandbox.trust(self.bot)
        self.bot.connect_universe("127.0.0.1", self.kit.universe_port)
        self.bot.login("pybot", "", "")
        self.bot.enter("lobby")

    def test_an_actor_speaks_and_the_bot_answers(self):
        heard = []

        @self.bot.event(Event.CHAT)
        def on_chat(bot):
            heard.append(bot.chat_message)
            bot.say("hi " + bot.avatar_name)

        self.kit.actor_enter("ann", "lobby", 1.0, 0.0, 2.0)
        self.kit.actor_say("ann", "hello")
        self.assertTrue(self.bot.wait_until(lambda: heard, 5, slice_ms=20))
        self.assertEqual(heard, ["hello"])
        self.assertTrue(self.bot.wait_until(
            lambda: 'say text="hi ann"' in self.kit.sent("pybot", "lobby"), 5, slice_ms=20))
        world = self.kit.world_state("lobby")
        self.assertEqual(world.avatar("ann").z, 2.0)
        self.assertIsNotNone(world.avatar("pybot"))

    def test_objects_of_an_actor_are_in_the_world_state(self):
        self.kit.actor_enter("bea", "lobby")
        tree = self.kit.actor_object_add("bea", "tree.rwx", 12.0, 0.0, -3.0,
                                         description="tall\tone")
        world = self.kit.world_state("lobby")
        self.assertEqual([(o.id, o.model, o.description) for o in world.objects],
                         [(tree, "tree.rwx", "tall\tone")])
        self.assertEqual([(c.x, c.z, c.objects) for c in world.cells], [(1, -1, 1)])

    def test_a_dropped_world_connection_reaches_the_bot(self):
        lost = []
        self.bot.on_event(Event.WORLD_DISCONNECT, lambda bot: lost.append(True))
        self.assertEqual(self.kit.drop("lobby"), 1)
        self.assertTrue(self.bot.wait_until(lambda: lost, 5, slice_ms=20))
        with self.assertRaises(SandboxError) as caught:
            self.kit.drop("atlantis")
        self.assertEqual(caught.exception.code, 2)

    def test_bad_options_are_refused(self):
        with self.assertRaises(SandboxError) as caught:
            Sandbox("--bind", "0.0.0.0")
        self.assertEqual(caught.exception.code, 1)


if __name__ == "__main__":
    unittest.main()
